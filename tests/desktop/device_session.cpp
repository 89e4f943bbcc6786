// A paired test device connected to a host service of this process.
#include "device_session.h"

#include <windows.h>

namespace kelm::test {

bool DeviceSession::Connect(uint16_t port, uint8_t featureFlags) {
  stream = ConnectTcp("127.0.0.1", port);
  if (!stream) return false;
  client = std::make_unique<DeviceClient>(*stream);
  HandshakeOptions o;
  o.pairing = PairingCode{0, 0, "123456"};
  if (client->Handshake(identity, o).admissionResult != 0) return false;
  HelloFields hello;
  hello.featureFlags = featureFlags;
  if (!client->SendRecord(1, BuildHello(hello))) return false;
  uint8_t type = 0;
  Bytes payload;
  return client->ReadRecord(type, payload) && type == 2 && payload.size() > 6 && payload[6] == 0;
}

std::optional<Bytes> DeviceSession::Next(uint8_t type, uint32_t timeoutMs, std::chrono::steady_clock::time_point* at) {
  const uint64_t deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    const uint64_t now = GetTickCount64();
    if (now >= deadline) return std::nullopt;
    stream->SetReadTimeout(static_cast<uint32_t>(deadline - now));
    uint8_t got = 0;
    Bytes payload;
    if (!client->ReadRecord(got, payload)) return std::nullopt;
    if (got == type) {
      if (at != nullptr) *at = std::chrono::steady_clock::now();
      return payload;
    }
  }
}

}  // namespace kelm::test
