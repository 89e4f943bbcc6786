#pragma once
// Sole owner of a movable global memory block (the clipboard's currency) until it is
// handed to the clipboard.
#include <windows.h>

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace kelm {

class GlobalMemory {
 public:
  GlobalMemory() = default;
  explicit GlobalMemory(HGLOBAL h) : h_(h) {}
  ~GlobalMemory() {
    if (h_ != nullptr) GlobalFree(h_);
  }
  GlobalMemory(GlobalMemory&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  GlobalMemory& operator=(GlobalMemory&& o) noexcept {
    if (this != &o) {
      if (h_ != nullptr) GlobalFree(h_);
      h_ = std::exchange(o.h_, nullptr);
    }
    return *this;
  }
  GlobalMemory(const GlobalMemory&) = delete;
  GlobalMemory& operator=(const GlobalMemory&) = delete;

  HGLOBAL Get() const { return h_; }
  // Gives the block up, as after a successful SetClipboardData.
  HGLOBAL Release() { return std::exchange(h_, nullptr); }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HGLOBAL h_ = nullptr;
};

// Locks a global block for the lifetime of this object; check ok() before use.
class GlobalLockGuard {
 public:
  explicit GlobalLockGuard(HGLOBAL h) : h_(h), data_(h != nullptr ? GlobalLock(h) : nullptr) {}
  ~GlobalLockGuard() {
    if (data_ != nullptr) GlobalUnlock(h_);
  }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
  bool ok() const { return data_ != nullptr; }
  void* data() const { return data_; }

 private:
  HGLOBAL h_;
  void* data_;
};

// A movable block holding `bytes`; empty when the allocation or the lock fails.
GlobalMemory GlobalFromBytes(std::span<const uint8_t> bytes);
// The first `size` bytes of a block (at most its size); empty when the lock or the
// allocation fails.
std::vector<uint8_t> BytesFromGlobal(HGLOBAL block, size_t size);
// A movable block of `size` bytes, not initialised; empty on failure.
GlobalMemory GlobalAllocMovable(size_t size);

}  // namespace kelm
