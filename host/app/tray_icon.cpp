// Shell_NotifyIconW calls of the tray icon and its popup menu.
#include "app/tray_icon.h"

namespace kelm {
namespace {

template <size_t N>
void CopyFitted(wchar_t (&buffer)[N], const std::wstring& text) {
  const std::wstring fitted = FitText(text, N);
  const size_t count = fitted.size() < N ? fitted.size() : N - 1;
  fitted.copy(buffer, count);
  buffer[count] = L'\0';
}

}  // namespace

MenuHandle BuildPopupMenu(const std::vector<TrayMenuItem>& items) {
  MenuHandle menu(CreatePopupMenu());
  if (!menu) return menu;
  for (const TrayMenuItem& item : items) {
    if (item.id == 0 && item.text.empty()) {
      AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);
      continue;
    }
    UINT flags = MF_STRING;
    if (item.checked) flags |= MF_CHECKED;
    if (!item.enabled) flags |= MF_GRAYED;
    AppendMenuW(menu.Get(), flags, item.id, item.text.c_str());
    if (item.isDefault) SetMenuDefaultItem(menu.Get(), item.id, FALSE);
  }
  return menu;
}

UINT TrackPopupMenuAt(HMENU menu, POINT point, HWND owner) {
  UINT flags = TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON;
  if (GetSystemMetrics(SM_MENUDROPALIGNMENT) != 0) flags |= TPM_RIGHTALIGN;
  return static_cast<UINT>(TrackPopupMenuEx(menu, flags, point.x, point.y, owner, nullptr));
}

TrayIcon::TrayIcon()
    : notify_([](DWORD message, NOTIFYICONDATAW* data) { return Shell_NotifyIconW(message, data); }),
      track_(&TrackPopupMenuAt) {}

void TrayIcon::Configure(HWND window, UINT callbackMessage, HICON icon, HICON balloonIcon) {
  hwnd_ = window;
  callbackMessage_ = callbackMessage;
  icon_ = icon;
  balloonIcon_ = balloonIcon;
}

NOTIFYICONDATAW TrayIcon::Data() const {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = hwnd_;
  data.uID = 1;
  return data;
}

void TrayIcon::Add() {
  NOTIFYICONDATAW data = Data();
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  data.uCallbackMessage = callbackMessage_;
  data.hIcon = icon_;
  CopyFitted(data.szTip, tooltip_);
  notify_(NIM_ADD, &data);
  data.uVersion = NOTIFYICON_VERSION_4;
  notify_(NIM_SETVERSION, &data);
  // Set even when the shell refused: later changes then fail quietly as well.
  added_ = true;
}

void TrayIcon::Remove() {
  if (!added_) return;
  NOTIFYICONDATAW data = Data();
  notify_(NIM_DELETE, &data);
  added_ = false;
}

void TrayIcon::SetTooltip(const std::wstring& text) {
  tooltip_ = text;
  if (!added_) return;
  NOTIFYICONDATAW data = Data();
  data.uFlags = NIF_TIP | NIF_SHOWTIP;
  CopyFitted(data.szTip, tooltip_);
  notify_(NIM_MODIFY, &data);
}

void TrayIcon::ShowBalloon(const std::wstring& title, const std::wstring& text) {
  NOTIFYICONDATAW data = Data();
  data.uFlags = NIF_INFO;
  CopyFitted(data.szInfoTitle, title);
  CopyFitted(data.szInfo, text);
  data.dwInfoFlags = NIIF_USER | NIIF_LARGE_ICON | NIIF_RESPECT_QUIET_TIME;
  data.hBalloonIcon = balloonIcon_;
  notify_(NIM_MODIFY, &data);
}

UINT TrayIcon::ShowMenu(const std::vector<TrayMenuItem>& items, POINT point) {
  MenuHandle menu = BuildPopupMenu(items);
  if (!menu) return 0;
  // The menu closes when the user clicks elsewhere only while we are in front.
  SetForegroundWindow(hwnd_);
  const UINT command = track_(menu.Get(), point, hwnd_);
  PostMessageW(hwnd_, WM_NULL, 0, 0);
  return command;
}

}  // namespace kelm
