#pragma once
// File transfer between the PC and a device.
#include <cstdint>
#include <filesystem>
#include <string>

namespace kelm {

struct TransferEvent {
  uint8_t result = 0;     // 0 completed, 1 not completed
  uint8_t direction = 0;  // 0 sent, 1 received
  std::string fileName;
  std::wstring path;
  uint64_t size = 0;
};

}  // namespace kelm
