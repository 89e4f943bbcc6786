// Runs both ends of one handshake and closes the connection afterwards.
#include "support/handshake_run.h"

#include <future>

#include "support/test_tcp.h"

namespace kelm::test {

HandshakeRun RunHandshake(Pairing& pairing, const DeviceIdentity& identity, const HandshakeOptions& options,
                          const std::string& peer, bool relay) {
  HandshakeRun run;
  auto [hostEnd, deviceEnd] = LoopbackPair();
  if (!hostEnd || !deviceEnd) return run;
  SecureChannel channel;
  std::future<int> host = std::async(std::launch::async, [&, h = hostEnd.get()] {
    const int r = static_cast<int>(channel.Accept(*h, peer, pairing, relay, run.result));
    h->Shutdown();  // the host ends the session after the handshake either way
    return r;
  });
  run.device = DeviceClient(*deviceEnd).Handshake(identity, options);
  deviceEnd->Shutdown();
  run.host = host.get();
  return run;
}

}  // namespace kelm::test
