#pragma once
// The notification-area icon: tooltip, balloons and the right-click menu.
#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>
#include <vector>

#include "app/app_texts.h"
#include "core/unique_any.h"

namespace kelm {

// Every Shell_NotifyIconW goes through this; tests record the calls.
using NotifyIconCall = std::function<BOOL(DWORD message, NOTIFYICONDATAW* data)>;
// Runs a built popup menu and returns the chosen command (0 when dismissed).
using TrackMenuCall = std::function<UINT(HMENU menu, POINT point, HWND owner)>;

using MenuHandle = UniqueAny<HMENU, &DestroyMenu>;
MenuHandle BuildPopupMenu(const std::vector<TrayMenuItem>& items);
UINT TrackPopupMenuAt(HMENU menu, POINT point, HWND owner);

class TrayIcon {
 public:
  TrayIcon();
  void SetNotifyCall(NotifyIconCall call) { notify_ = std::move(call); }
  void SetTrackMenuCall(TrackMenuCall call) { track_ = std::move(call); }
  void Configure(HWND window, UINT callbackMessage, HICON icon, HICON balloonIcon);

  void Add();
  void Remove();
  void SetTooltip(const std::wstring& text);
  void ShowBalloon(const std::wstring& title, const std::wstring& text);
  UINT ShowMenu(const std::vector<TrayMenuItem>& items, POINT point);
  bool Added() const { return added_; }

 private:
  NOTIFYICONDATAW Data() const;

  NotifyIconCall notify_;
  TrackMenuCall track_;
  HWND hwnd_ = nullptr;
  UINT callbackMessage_ = 0;
  HICON icon_ = nullptr;
  HICON balloonIcon_ = nullptr;
  std::wstring tooltip_ = L"tavro";
  bool added_ = false;
};

}  // namespace kelm
