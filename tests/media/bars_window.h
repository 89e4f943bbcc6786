#pragma once
// A topmost window over the whole screen with five vertical bars (white, red, green, blue,
// black), for tests that check a captured and decoded picture.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace kelm::test {

// A small square in the top-left corner (left out of the bar checks) changes colour every
// 30 ms while the window animates, so that the screen keeps changing: encoders that hold a
// few frames back (Wine's) still deliver the first ones. Still() stops that change.
class BarsWindow {
 public:
  static constexpr int kBox = 12;
  explicit BarsWindow(bool animate = true) : animate_(animate) {}
  ~BarsWindow() {
    if (thread_.joinable()) {
      PostMessageW(window_, WM_CLOSE, 0, 0);
      thread_.join();
    }
  }
  BarsWindow(const BarsWindow&) = delete;
  BarsWindow& operator=(const BarsWindow&) = delete;

  bool Start() {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return started_; });
    Sleep(300);  // let the first paint land
    return window_ != nullptr;
  }
  // Stops the animation; the picture stays as it is from the answer on.
  bool Still() { return window_ != nullptr && SendMessageW(window_, kStill, 0, 0) == 1; }

 private:
  static constexpr UINT kStill = WM_APP + 1;
  static constexpr UINT_PTR kTimer = 1;

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<BarsWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    switch (message) {
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        const COLORREF colours[5] = {RGB(255, 255, 255), RGB(255, 0, 0), RGB(0, 255, 0), RGB(0, 0, 255),
                                     RGB(0, 0, 0)};
        for (int i = 0; i < 5; ++i) {
          RECT bar{r.right * i / 5, 0, r.right * (i + 1) / 5, r.bottom};
          HBRUSH brush = CreateSolidBrush(colours[i]);
          FillRect(dc, &bar, brush);
          DeleteObject(brush);
        }
        if (self && self->animate_) {
          RECT box{0, 0, kBox, kBox};
          HBRUSH brush = CreateSolidBrush(self->tick_ % 2 ? RGB(200, 40, 40) : RGB(40, 40, 200));
          FillRect(dc, &box, brush);
          DeleteObject(brush);
        }
        EndPaint(hwnd, &ps);
        return 0;
      }
      case WM_TIMER: {
        if (self) ++self->tick_;
        RECT box{0, 0, kBox, kBox};
        InvalidateRect(hwnd, &box, FALSE);
        return 0;
      }
      case kStill:
        KillTimer(hwnd, kTimer);
        UpdateWindow(hwnd);
        GdiFlush();
        return 1;
      case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        return TRUE;
      case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }

  void Run() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"tavro.test.VideoBars";
    RegisterClassW(&wc);
    window_ = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"bars", WS_POPUP | WS_VISIBLE, 0, 0,
                              GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                              wc.hInstance, nullptr);
    if (window_) {
      SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      if (animate_) SetTimer(window_, kTimer, 30, nullptr);
      SetForegroundWindow(window_);
      UpdateWindow(window_);
    }
    {
      std::lock_guard lock(mutex_);
      started_ = true;
    }
    ready_.notify_all();
    if (!window_) return;
    MSG m;
    while (GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
  }

  bool animate_;
  std::atomic<int> tick_{0};
  std::thread thread_;
  HWND window_ = nullptr;
  std::mutex mutex_;
  std::condition_variable ready_;
  bool started_ = false;
};

}  // namespace kelm::test
