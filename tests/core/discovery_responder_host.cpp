// Runs the discovery responder for a native test driver: prints "ready" once it
// listens (or "busy" when UDP port 27184 is taken) and stops when standard input ends.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/discovery.h"
#include "core/socket.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: discovery_responder_host TCP_PORT NAME\n", stderr);
    return 2;
  }
  const kelm::WinsockStartup winsock = kelm::StartWinsock();
  if (!winsock) return 3;
  kelm::DiscoveryResponder responder;
  if (!responder.Start(static_cast<uint16_t>(std::strtoul(argv[1], nullptr, 10)), argv[2])) {
    std::puts("busy");
    std::fflush(stdout);
    return 4;
  }
  std::puts("ready");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  responder.Stop();
  std::puts("stopped");
  std::fflush(stdout);
  return 0;
}
