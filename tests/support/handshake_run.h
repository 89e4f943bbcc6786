#pragma once
// One handshake over a real loopback connection: the host's SecureChannel::Accept on
// a thread, the device-side test client on the caller's.
#include <string>

#include "core/pairing.h"
#include "core/secure_channel.h"
#include "support/device_client.h"

namespace kelm::test {

struct HandshakeRun {
  int host = -1;  // what Accept returned
  HandshakeOutcome device;
  HandshakeResult result;
};

HandshakeRun RunHandshake(Pairing& pairing, const DeviceIdentity& identity, const HandshakeOptions& options,
                          const std::string& peer = "192.168.1.20", bool relay = false);

}  // namespace kelm::test
