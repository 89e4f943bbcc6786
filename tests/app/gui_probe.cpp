// Window search, dialog reading, input synthesis, GDI capture and module lists.
#include "gui_probe.h"

#include <tlhelp32.h>

#include <filesystem>
#include <fstream>

namespace kelm::test {
namespace {

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

struct Search {
  std::wstring className, title;
  DWORD processId = 0;
  bool visibleOnly = false;
  std::vector<WindowInfo> found;
};

BOOL CALLBACK CollectTop(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  WindowInfo info;
  info.hwnd = window;
  GetWindowThreadProcessId(window, &info.processId);
  info.className = ClassOf(window);
  info.title = WindowText(window);
  info.visible = IsWindowVisible(window) != FALSE;
  GetWindowRect(window, &info.rect);
  if ((s->className.empty() || s->className == info.className) && (s->title.empty() || s->title == info.title) &&
      (s->processId == 0 || s->processId == info.processId) && (!s->visibleOnly || info.visible)) {
    s->found.push_back(std::move(info));
  }
  return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
  reinterpret_cast<std::vector<ControlInfo>*>(param)->push_back({window, ClassOf(window), WindowText(window)});
  return TRUE;
}

std::wstring WithoutMnemonic(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text)
    if (c != L'&') out += c;
  return out;
}

}  // namespace

std::vector<WindowInfo> FindTopWindows(const std::wstring& className, const std::wstring& title, DWORD processId,
                                       bool visibleOnly) {
  Search s{className, title, processId, visibleOnly, {}};
  EnumWindows(&CollectTop, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

HWND WaitForWindow(const std::wstring& className, const std::wstring& title, DWORD processId, uint32_t timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  do {
    const std::vector<WindowInfo> found = FindTopWindows(className, title, processId, true);
    if (!found.empty()) return found.front().hwnd;
    Sleep(50);
  } while (GetTickCount64() < end);
  return nullptr;
}

std::vector<ControlInfo> Controls(HWND window) {
  std::vector<ControlInfo> controls;
  EnumChildWindows(window, &CollectChild, reinterpret_cast<LPARAM>(&controls));
  return controls;
}

std::wstring WindowText(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                           2000, &copied)) {
    return {};
  }
  text.resize(copied);
  return text;
}

bool PressButton(HWND dialog, const std::wstring& text) {
  for (const ControlInfo& c : Controls(dialog)) {
    if (c.className == L"Button" && WithoutMnemonic(c.text) == text) {
      PostMessageW(c.hwnd, BM_CLICK, 0, 0);
      return true;
    }
  }
  return false;
}

void SendKeys(const std::vector<WORD>& keys) {
  for (WORD key : keys) {
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof(INPUT));
    Sleep(100);
  }
}

void ClickAt(int x, int y, bool right) {
  SetCursorPos(x, y);
  Sleep(50);
  INPUT input[2] = {};
  input[0].type = input[1].type = INPUT_MOUSE;
  input[0].mi.dwFlags = right ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_LEFTDOWN;
  input[1].mi.dwFlags = right ? MOUSEEVENTF_RIGHTUP : MOUSEEVENTF_LEFTUP;
  SendInput(2, input, sizeof(INPUT));
}

Capture CaptureScreen(const RECT& rect) {
  Capture c;
  c.width = rect.right - rect.left;
  c.height = rect.bottom - rect.top;
  if (c.width <= 0 || c.height <= 0) return {};
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = c.width;
  info.bmiHeader.biHeight = -c.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) {
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, c.width, c.height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    const auto* p = static_cast<const uint32_t*>(bits);
    c.pixels.assign(p, p + static_cast<size_t>(c.width) * c.height);
    for (uint32_t& px : c.pixels) px &= 0xFFFFFF;
    DeleteObject(bitmap);
  }
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return c;
}

Capture CaptureClient(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  OffsetRect(&client, origin.x, origin.y);
  return CaptureScreen(client);
}

bool SaveBmp(const Capture& capture, const std::wstring& path) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary);
  if (!out) return false;
  const uint32_t imageBytes = static_cast<uint32_t>(capture.pixels.size() * 4);
  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = file.bfOffBits + imageBytes;
  BITMAPINFOHEADER info{};
  info.biSize = sizeof(info);
  info.biWidth = capture.width;
  info.biHeight = -capture.height;
  info.biPlanes = 1;
  info.biBitCount = 32;
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&info), sizeof(info));
  out.write(reinterpret_cast<const char*>(capture.pixels.data()), imageBytes);
  return static_cast<bool>(out);
}

std::vector<std::wstring> ProcessModules(DWORD processId) {
  std::vector<std::wstring> modules;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, processId);
  if (snapshot == INVALID_HANDLE_VALUE) return modules;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL ok = Module32FirstW(snapshot, &entry); ok; ok = Module32NextW(snapshot, &entry)) {
    modules.emplace_back(entry.szExePath);
  }
  CloseHandle(snapshot);
  return modules;
}

}  // namespace kelm::test
