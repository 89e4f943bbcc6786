// Figure of the whole input path: a device's pointer move through a real host session
// (record layer, router, injector, SendInput) until the move reaches a window.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_host.h"
#include "bench_timing.h"
#include "core/protocol.h"
#include "core/text.h"
#include "support/input_payloads.h"

namespace kelm::bench {
namespace {

constexpr int kMoves = 2000;
constexpr auto kMoveTimeout = std::chrono::milliseconds(2000);
constexpr auto kWarmUpTimeout = std::chrono::milliseconds(10000);
constexpr int32_t kFirstX = 200;
constexpr int32_t kXSpan = 1500;
constexpr int32_t kY = 500;
constexpr uint8_t kPointerMove = 0;

// A window over the whole virtual screen on its own thread, noting when each mouse move
// arrives and where.
class MoveWindow {
 public:
  bool Start() {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return state_ != State::Starting; });
    return state_ == State::Running;
  }
  ~MoveWindow() {
    if (thread_.joinable()) {
      PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
      thread_.join();
    }
  }
  // Waits until a move to (x, y) arrives, unless it already has and was not taken yet.
  bool WaitFor(int32_t x, int32_t y, std::chrono::steady_clock::time_point& at,
               std::chrono::milliseconds timeout = kMoveTimeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      if (last_.x == x && last_.y == y && fresh_) {
        at = lastAt_;
        fresh_ = false;
        return true;
      }
      return false;
    });
  }

  POINT Last() {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  enum class State { Starting, Running, Failed };

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_MOUSEMOVE) {
      auto* self = reinterpret_cast<MoveWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
      if (self != nullptr) {
        POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        ClientToScreen(hwnd, &pt);
        std::lock_guard lock(self->mutex_);
        self->last_ = pt;
        self->lastAt_ = std::chrono::steady_clock::now();
        self->fresh_ = true;
        self->changed_.notify_all();
      }
      return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }

  void Run() {
    threadId_ = GetCurrentThreadId();
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = L"TavroBenchMoveWindow";
    RegisterClassW(&wc);
    const HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"bench moves", WS_POPUP | WS_VISIBLE,
                                      GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                                      GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN),
                                      nullptr, nullptr, wc.hInstance, nullptr);
    {
      std::lock_guard lock(mutex_);
      state_ = hwnd != nullptr ? State::Running : State::Failed;
      changed_.notify_all();
    }
    if (hwnd == nullptr) return;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    SetForegroundWindow(hwnd);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      DispatchMessageW(&msg);
    }
    DestroyWindow(hwnd);
  }

  std::thread thread_;
  DWORD threadId_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::Starting;
  POINT last_{-1, -1};
  std::chrono::steady_clock::time_point lastAt_;
  bool fresh_ = false;
};

// Class, title and process of a window, for a failure that names what took the pointer.
std::string WindowText(HWND hwnd) {
  if (hwnd == nullptr) return "no window";
  wchar_t cls[128]{}, title[128]{};
  GetClassNameW(hwnd, cls, 128);
  GetWindowTextW(hwnd, title, 128);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return WideToUtf8(std::wstring(L"\"") + cls + L"\" \"" + title + L"\" pid " + std::to_wstring(pid));
}

void PointerLatencyBench(BenchOut& out) {
  const int32_t width = GetSystemMetrics(SM_CXSCREEN);
  const int32_t height = GetSystemMetrics(SM_CYSCREEN);
  MoveWindow window;
  if (!window.Start()) return out.Fail("input.pointer_latency: no window");
  BenchHost host;
  if (!host.Ok()) return out.Fail("input.pointer_latency: " + host.Error());
  BenchDevice device;
  if (!device.Open(host.Port(), true)) return out.Fail("input.pointer_latency: the device was not admitted");

  const float fy = (static_cast<float>(kY) + 0.5f) / static_cast<float>(height);
  // One untimed move first: the window and the session's first injection settle.
  const int32_t warmX = kFirstX - 50;
  const float warmFx = (static_cast<float>(warmX) + 0.5f) / static_cast<float>(width);
  std::chrono::steady_clock::time_point arrived;
  if (!device.Send(proto::MsgType::Pointer, test::PointerPayload(kPointerMove, 0, warmFx, fy)) ||
      !window.WaitFor(warmX, kY, arrived, kWarmUpTimeout)) {
    return out.Fail("input.pointer_latency: the first move never arrived");
  }

  std::vector<double> micros;
  micros.reserve(kMoves);
  int lost = 0;
  for (int i = 0; i < kMoves; ++i) {
    // Every move goes to another pixel, so each arrival is told apart from the last.
    const int32_t x = kFirstX + i % kXSpan;
    const float fx = (static_cast<float>(x) + 0.5f) / static_cast<float>(width);
    const auto sent = std::chrono::steady_clock::now();
    if (!device.Send(proto::MsgType::Pointer, test::PointerPayload(kPointerMove, 0, fx, fy))) {
      return out.Fail("input.pointer_latency: sending failed");
    }
    if (!window.WaitFor(x, kY, arrived)) {
      const POINT last = window.Last();
      POINT cursor{};
      GetCursorPos(&cursor);
      // Under Wine, after the tray app's runs, a move now and then reaches the cursor but no
      // WM_MOUSEMOVE the window: the injection did its part, so it is counted, not timed.
      if (cursor.x == x && cursor.y == kY && ++lost <= kMoves / 100) continue;
      return out.Fail("input.pointer_latency: move " + std::to_string(i) + " to " + std::to_string(x) +
                      " never arrived (last at " + std::to_string(last.x) + "," + std::to_string(last.y) +
                      "; cursor at " + std::to_string(cursor.x) + "," + std::to_string(cursor.y) + ", under it " +
                      WindowText(WindowFromPoint(POINT{x, kY})) + "; " + std::to_string(lost) + " lost before)");
    }
    micros.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
  }
  device.Bye();
  out.Figure("input.pointer_latency_p50", Quantile(micros, 0.50), "us");
  out.Figure("input.pointer_latency_p95", Quantile(micros, 0.95), "us");
  out.Figure("input.pointer_latency_p99", Quantile(micros, 0.99), "us");
  out.Figure("input.pointer_latency_moves_without_message", lost, "moves");
}

TAVRO_BENCH("input.pointer_latency", PointerLatencyBench);

}  // namespace
}  // namespace kelm::bench
