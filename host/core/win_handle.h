#pragma once
// Sole owner of a Win32 handle that is closed with CloseHandle.
#include <windows.h>

#include <utility>

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

}  // namespace kelm
