#pragma once
// How worker threads hand events to the UI thread: window messages whose heap payloads
// the window procedure frees, or the poster when the post fails.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "desktop/file_transfer.h"

namespace kelm {

inline constexpr UINT kMsgStateChanged = WM_APP + 1;
inline constexpr UINT kMsgTray = WM_APP + 2;
inline constexpr UINT kMsgUserText = WM_APP + 3;
inline constexpr UINT kMsgTransfer = WM_APP + 4;
inline constexpr UINT kMsgNotificationAccess = WM_APP + 5;
inline constexpr UINT kMsgUpdateState = WM_APP + 6;
inline constexpr UINT kMsgQuitForUpdate = WM_APP + 7;

struct UiTransferRecord {
  std::string device;  // UTF-8, "your device" when unknown
  TransferEvent event;
};

// Posts one WM_APP+1 while none waits; the handler calls `Taken` before it reads the
// host's state, so a change during the push posts again.
class StatePushPoster {
 public:
  void SetWindow(HWND window) { window_.store(window); }
  // Any thread.
  void Changed();
  // UI thread, first thing in the handler.
  void Taken() { pending_.store(false); }
  bool Pending() const { return pending_.load(); }

 private:
  std::atomic<HWND> window_{nullptr};
  std::atomic<bool> pending_{false};
};

// Any thread: false (and the payload freed) when the post failed.
bool PostUserText(HWND window, const std::string& utf8);
bool PostTransfer(HWND window, UiTransferRecord record);
// UI thread: takes ownership of a posted payload.
std::unique_ptr<std::wstring> TakeUserText(LPARAM lParam);
std::unique_ptr<UiTransferRecord> TakeTransfer(LPARAM lParam);
// Payloads posted and not yet taken or freed (for leak checks).
int64_t LiveUiPayloads();

}  // namespace kelm
