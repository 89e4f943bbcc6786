#pragma once
// A session's input router.
//
// PLACEHOLDER until input injection is built: it notes when pen, touch and pointer
// input last arrived (for choosing where files go) and injects nothing.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>

namespace kelm {

class InputRouter {
 public:
  void Start(uint8_t /*penMode*/, uint8_t /*touchMode*/) {}
  void OnMessage(uint8_t type, std::span<const uint8_t>) {
    if (type == 10 || type == 11 || type == 15) {
      lastInputTick_.store(GetTickCount64());
    }
  }
  void Stop() {}
  void ReleaseAll() {}
  uint64_t LastInputTick() const { return lastInputTick_.load(); }
  // The desktop rectangle input is mapped to; unknown until injection is built.
  std::optional<RECT> TargetRect() const { return std::nullopt; }

 private:
  std::atomic<uint64_t> lastInputTick_{0};
};

}  // namespace kelm
