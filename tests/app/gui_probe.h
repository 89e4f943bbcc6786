#pragma once
// Looks at and drives other programs' windows for GUI tests and manual checks: find
// windows, read a dialog's controls, press its buttons, post messages, synthesize
// keys and clicks, capture pixels with GDI and list a process's modules.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelm::test {

struct WindowInfo {
  HWND hwnd = nullptr;
  DWORD processId = 0;
  std::wstring className;
  std::wstring title;
  RECT rect{};
  bool visible = false;
};

// Top-level windows; an empty class or title matches any, processId 0 any process.
std::vector<WindowInfo> FindTopWindows(const std::wstring& className, const std::wstring& title,
                                       DWORD processId = 0, bool visibleOnly = false);
// The first matching visible window within `timeoutMs`, else null.
HWND WaitForWindow(const std::wstring& className, const std::wstring& title, DWORD processId, uint32_t timeoutMs);

struct ControlInfo {
  HWND hwnd = nullptr;
  std::wstring className;
  std::wstring text;
};
// Every descendant control of `window`, in Windows' order.
std::vector<ControlInfo> Controls(HWND window);
std::wstring WindowText(HWND window);
// Clicks the button whose text (without '&') is `text`; false when there is none.
bool PressButton(HWND dialog, const std::wstring& text);

// Virtual keys pressed and released in order.
void SendKeys(const std::vector<WORD>& keys);
void ClickAt(int x, int y, bool right);

struct Capture {
  int width = 0, height = 0;
  std::vector<uint32_t> pixels;  // 0x00RRGGBB, top row first
  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
// The screen's pixels under `rect` (screen coordinates).
Capture CaptureScreen(const RECT& rect);
// The client area of a mapped window, from the screen.
Capture CaptureClient(HWND window);
bool SaveBmp(const Capture& capture, const std::wstring& path);

// Full paths of the modules loaded in a process.
std::vector<std::wstring> ProcessModules(DWORD processId);

}  // namespace kelm::test
