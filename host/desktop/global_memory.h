#pragma once
// Sole owner of a movable global memory block (the clipboard's currency) until it is
// handed to the clipboard.
#include <windows.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/unique_any.h"

namespace kelm {

// Release() gives the block up, as after a successful SetClipboardData.
using GlobalMemory = UniqueAny<HGLOBAL, &GlobalFree>;

// Locks a global block for the lifetime of this object; check Ok() before use.
class GlobalLockGuard {
 public:
  explicit GlobalLockGuard(HGLOBAL h) : h_(h), data_(h != nullptr ? GlobalLock(h) : nullptr) {}
  ~GlobalLockGuard() {
    if (data_ != nullptr) GlobalUnlock(h_);
  }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
  bool Ok() const { return data_ != nullptr; }
  void* Data() const { return data_; }

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
