#pragma once
// Sole owners of Win32 handles: CloseHandle handles and registry keys.
#include <windows.h>

#include <utility>

#include "core/unique_any.h"

namespace kelm {

class WinHandle {
 public:
  WinHandle() = default;
  explicit WinHandle(HANDLE h) : h_(h) {}
  ~WinHandle() { Reset(); }
  WinHandle(WinHandle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  WinHandle& operator=(WinHandle&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.h_, nullptr));
    }
    return *this;
  }
  WinHandle(const WinHandle&) = delete;
  WinHandle& operator=(const WinHandle&) = delete;

  HANDLE Get() const { return h_; }
  // For out-parameters: closes what is held and hands out the empty slot.
  HANDLE* Put() {
    Reset();
    return &h_;
  }
  explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE h = nullptr) {
    if (*this) {
      CloseHandle(h_);
    }
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

// A registry key opened or created by this program.
using RegKey = UniqueAny<HKEY, &RegCloseKey>;

}  // namespace kelm
