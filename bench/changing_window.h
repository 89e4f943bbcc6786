#pragma once
// A topmost window over a rectangle whose colour a benchmark changes, for capture figures.
#include <windows.h>

#include <cstdint>

namespace kelm::bench {

class ChangingWindow {
 public:
  explicit ChangingWindow(const RECT& r) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"tavro.bench.Changing";
    RegisterClassW(&wc);
    hwnd_ = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, r.left, r.top,
                            r.right - r.left, r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~ChangingWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    UnregisterClassW(L"tavro.bench.Changing", GetModuleHandleW(nullptr));
  }
  ChangingWindow(const ChangingWindow&) = delete;
  ChangingWindow& operator=(const ChangingWindow&) = delete;
  bool Ok() const { return hwnd_ != nullptr; }

  // Paints the next colour and waits until it is on the screen.
  void Change() {
    ++step_;
    RECT r{};
    GetClientRect(hwnd_, &r);
    HDC dc = GetDC(hwnd_);
    HBRUSH brush = CreateSolidBrush(RGB(step_ * 37, 255 - step_ * 11, step_ * 5));
    FillRect(dc, &r, brush);
    DeleteObject(brush);
    ReleaseDC(hwnd_, dc);
    GdiFlush();
    Settle();
  }
  void Settle() {
    for (int i = 0; i < 5; ++i) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(20);
    }
  }

 private:
  HWND hwnd_ = nullptr;
  uint8_t step_ = 0;
};

}  // namespace kelm::bench
