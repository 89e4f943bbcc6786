#pragma once
// A paired test device connected to a host service of this process, with the few
// reads the desktop tests need.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

#include "support/device_client.h"
#include "support/test_tcp.h"

namespace kelm::test {

struct DeviceSession {
  DeviceIdentity identity;
  std::unique_ptr<TestTcpStream> stream;
  std::unique_ptr<DeviceClient> client;

  // Pairs with PIN 123456, sends a Hello with these feature flags and reads the Welcome.
  bool Connect(uint16_t port, uint8_t featureFlags);
  // The payload of the next record of `type` within `timeoutMs`, skipping others;
  // `at` is when it arrived.
  std::optional<Bytes> Next(uint8_t type, uint32_t timeoutMs,
                            std::chrono::steady_clock::time_point* at = nullptr);
};

}  // namespace kelm::test
