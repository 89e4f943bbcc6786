// A test device paired with a PIN over loopback TCP.
#include "support/paired_device.h"

#include <windows.h>

#include "support/device_messages.h"

namespace kelm::test {

bool PinPairedDevice::Connect(uint16_t port, const std::string& pin, const HelloFields& hello) {
  stream = ConnectTcp("127.0.0.1", port);
  if (!stream) return false;
  client = std::make_unique<DeviceClient>(*stream);
  HandshakeOptions options;
  if (!pin.empty()) options.pairing = PairingCode{0, 0, pin};
  outcome = client->Handshake(identity, options);
  if (outcome.admissionResult != 0) return false;
  if (!client->SendRecord(dev::kHello, BuildHello(hello))) return false;
  uint8_t type = 0;
  welcome.clear();
  return client->ReadRecord(type, welcome) && type == dev::kWelcome && welcome.size() > dev::kWelcomeStatusAt &&
         welcome[dev::kWelcomeStatusAt] == dev::kWelcomeAccepted;
}

bool PinPairedDevice::ConnectWithFeatures(uint16_t port, uint8_t featureFlags) {
  HelloFields hello;
  hello.featureFlags = featureFlags;
  return Connect(port, kTestPin, hello);
}

std::optional<Bytes> PinPairedDevice::Next(uint8_t type, uint32_t timeoutMs, std::chrono::steady_clock::time_point* at) {
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
