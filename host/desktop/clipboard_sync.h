#pragma once
// Clipboard synchronisation between the PC and the devices.
//
// PLACEHOLDER until clipboard sharing is built: nothing is watched or set.
#include <cstdint>
#include <functional>
#include <span>

namespace kelm {

class ClipboardSync {
 public:
  using Broadcast = std::function<void(uint8_t format, std::span<const uint8_t> bytes)>;
  void Start(Broadcast) {}
  void Stop() {}
  void SetFromDevice(uint8_t /*format*/, std::span<const uint8_t>) {}
};

}  // namespace kelm
