#pragma once
// A test device paired with a PIN over loopback TCP to a host listening in this process
// or in a child: the handshake, its Hello and the Welcome, then the reads tests need.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "support/device_client.h"
#include "support/test_tcp.h"

namespace kelm::test {

// The PIN the tests' hosts are started with.
inline constexpr char kTestPin[] = "123456";

struct PinPairedDevice {
  DeviceIdentity identity;
  std::unique_ptr<TestTcpStream> stream;
  std::unique_ptr<DeviceClient> client;
  HandshakeOutcome outcome;
  Bytes welcome;

  // Connects to 127.0.0.1:`port`, pairs with `pin` (empty: a device paired before, asking
  // for no code), sends `hello` and reads the Welcome. True once the Welcome accepts.
  bool Connect(uint16_t port, const std::string& pin = kTestPin, const HelloFields& hello = {});
  // As Connect with the default PIN and a Hello carrying only these feature flags.
  bool ConnectWithFeatures(uint16_t port, uint8_t featureFlags);
  // The payload of the next record of `type` within `timeoutMs`, skipping others;
  // `at` is when it arrived.
  std::optional<Bytes> Next(uint8_t type, uint32_t timeoutMs, std::chrono::steady_clock::time_point* at = nullptr);
};

}  // namespace kelm::test
