// Runs the discovery responder for a native test driver: prints "ready" once it
// listens (or "busy" when UDP port 27184 is taken) and stops when standard input ends.
// With --bind-shared it plays a stranger that tries to share the port.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/discovery.h"
#include "core/socket.h"

// Another program's attempt to share the discovery port: bind it with SO_REUSEADDR
// and print "bound" or "busy".
int TryBindShared() {
  const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return 3;
  const BOOL on = TRUE;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kelm::kDiscoveryPort);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  const bool bound = bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  closesocket(s);
  std::puts(bound ? "bound" : "busy");
  std::fflush(stdout);
  return 0;
}

int main(int argc, char** argv) {
  const kelm::WinsockStartup winsock = kelm::StartWinsock();
  if (!winsock) return 3;
  if (argc == 2 && std::string(argv[1]) == "--bind-shared") {
    return TryBindShared();
  }
  if (argc != 3) {
    std::fputs("usage: discovery_responder_host TCP_PORT NAME | --bind-shared\n", stderr);
    return 2;
  }
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
