#pragma once
// USB link: asks adb to forward each authorised device's TCP port to the host's listener
// (adb reverse), so the device app reaches the host over 127.0.0.1 without a network.
#include <atomic>
#include <cstdint>
#include <set>
#include <string>
#include <thread>

#include "core/win_handle.h"

namespace kelm {

class UsbWatcher {
 public:
  struct Timing {
    uint32_t pollMs = 2000;        // pause between polling passes
    uint32_t adbTimeoutMs = 10000;  // bound of each adb call
  };

  UsbWatcher() = default;
  explicit UsbWatcher(Timing timing) : timing_(timing) {}
  ~UsbWatcher() { Stop(); }
  UsbWatcher(const UsbWatcher&) = delete;
  UsbWatcher& operator=(const UsbWatcher&) = delete;

  // `adbPath` empty: FindAdb. False (nothing started) when no adb is known. Called only
  // while the watcher is stopped.
  bool Start(std::wstring adbPath, uint16_t port);
  // Ends the watcher thread, cutting short its pause and any adb call under way.
  // Safe when never started.
  void Stop();
  // True while the watcher thread exists.
  bool Active() const { return active_.load(); }
  const std::wstring& AdbPath() const { return adbPath_; }

 private:
  void Run();
  // One polling pass; false when the stop flag was seen during it.
  bool Pass();
  bool Stopping() const { return stop_.load(); }

  Timing timing_;
  std::wstring adbPath_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  WinHandle wake_;
  std::thread thread_;
  std::set<std::string> known_;
  std::atomic<bool> active_{false};
};

}  // namespace kelm
