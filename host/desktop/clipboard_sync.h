#pragma once
// Clipboard synchronisation between the PC and the devices: one thread with a
// message-only window listens for clipboard changes and writes device content.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/protocol.h"

namespace kelm {

// The registered "PNG" clipboard format (registered once per process).
UINT PngClipboardFormat();

class ClipboardSync {
 public:
  using ChangeCallback = std::function<void(proto::ClipboardFormat, const std::vector<uint8_t>&)>;

  // What SetFromDevice hands to the clipboard thread.
  struct DeviceContent {
    uint8_t format = 0;
    std::vector<uint8_t> data;
  };

  static constexpr UINT kDeviceContentMessage = WM_APP + 1;
  static constexpr UINT_PTR kDebounceTimer = 1;
  static constexpr UINT kDebounceMs = 150;

  ClipboardSync() = default;
  ~ClipboardSync() { Stop(); }
  ClipboardSync(const ClipboardSync&) = delete;
  ClipboardSync& operator=(const ClipboardSync&) = delete;

  // Starts the clipboard thread; the callback runs on it for every local change.
  void Start(ChangeCallback onChange);
  void Stop();
  // Any thread: hands device content to the clipboard thread; dropped without a window.
  // At most one waits: newer content replaces content not yet taken.
  void SetFromDevice(proto::ClipboardFormat format, std::vector<uint8_t> data);
  // Device content handed over and not yet taken by the clipboard thread (0 or 1).
  size_t PendingFromDevice();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void ThreadMain(HANDLE started);
  void OnLocalChange();
  void SetClipboard(const DeviceContent& content);
  bool OpenWithRetry();

  ChangeCallback onChange_;
  std::thread thread_;
  HWND window_ = nullptr;  // guarded by mutex_
  std::unique_ptr<DeviceContent> pending_;  // guarded by mutex_
  bool posted_ = false;  // a kDeviceContentMessage is queued; guarded by mutex_
  std::mutex mutex_;
  std::atomic<DWORD> threadId_{0};
  std::atomic<bool> threadEnded_{false};
  DWORD ownSequence_ = 0;
};

}  // namespace kelm
