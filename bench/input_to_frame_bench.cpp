// What a pen user feels, measured at the device: a tap from the device test client on a
// window that repaints in a new colour on the button-down, to the first video frame whose
// decoded picture (native ffmpeg, run afterwards on the stream the device received) shows
// that colour. The stages come from stamps taken in this process: the window's button-down
// and paint, and the video thread's new images and sends.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_profile.h"
#include "bench_timing.h"
#include "timed_pipeline.h"
#include "core/clock.h"
#include "core/protocol.h"
#include "core/text.h"
#include "media/d3d_test_device.h"
#include "media/session_harness.h"
#include "media/virtual_display_driver.h"
#include "support/input_payloads.h"
#include "support/temp_dir.h"

namespace kelm::bench {
namespace {

constexpr int kTaps = 15;
constexpr DWORD kBetweenTapsMs = 700;
constexpr DWORD kHeldMs = 40;
constexpr DWORD kStartMs = 3000;  // past the first frames a software encoder holds back
constexpr float kTapAt = 0.1f;    // the cursor lands here, away from the sampled middle
constexpr uint8_t kPointerDown = 1, kPointerUp = 2, kLeftButton = 0;
constexpr int kDecodedWidth = 32, kDecodedHeight = 18;
constexpr size_t kDecodedFrameBytes = size_t{kDecodedWidth} * kDecodedHeight * 3;
constexpr int kColourTolerance = 48;
constexpr DWORD kDecodeWaitMs = 60000;
constexpr wchar_t kFfmpeg[] = L"Z:\\usr\\bin\\ffmpeg";

// Far apart in every channel from the one before, and from the black the window starts in.
constexpr std::array<COLORREF, 6> kColours{RGB(230, 20, 20), RGB(20, 230, 20), RGB(20, 20, 230),
                                           RGB(230, 230, 20), RGB(230, 20, 230), RGB(20, 230, 230)};

struct TapSeen {
  uint64_t down = 0;     // the window's WM_LBUTTONDOWN
  uint64_t painted = 0;  // its repaint in the new colour done and flushed
};

// A topmost window over the screen on its own thread, black until the first tap.
class TapWindow {
 public:
  bool Start() {
    thread_ = std::thread([this] { Run(); });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return state_ != State::Starting; });
    return state_ == State::Running;
  }
  ~TapWindow() {
    if (thread_.joinable()) {
      PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
      thread_.join();
    }
  }
  // The tap numbered `n` (from 0), once the window has repainted for it.
  std::optional<TapSeen> WaitFor(size_t n, DWORD timeoutMs) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return taps_.size() > n; })) {
      return std::nullopt;
    }
    return taps_[n];
  }

 private:
  enum class State { Starting, Running, Failed };

  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<TapWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wParam, lParam);
    switch (message) {
      case WM_LBUTTONDOWN: {
        const uint64_t down = NowMicros();
        self->colour_ = kColours[self->taps_.size() % kColours.size()];
        InvalidateRect(hwnd, nullptr, FALSE);
        UpdateWindow(hwnd);  // paints now, inside this message
        GdiFlush();
        std::lock_guard lock(self->mutex_);
        self->taps_.push_back({down, NowMicros()});
        self->changed_.notify_all();
        return 0;
      }
      case WM_ERASEBKGND:
        return 1;
      case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd, &ps);
        RECT r;
        GetClientRect(hwnd, &r);
        HBRUSH brush = CreateSolidBrush(self->colour_);
        FillRect(dc, &r, brush);
        DeleteObject(brush);
        EndPaint(hwnd, &ps);
        return 0;
      }
      default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
  }

  void Run() {
    threadId_ = GetCurrentThreadId();
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = L"tavro.bench.Tap";
    RegisterClassW(&wc);
    const HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"bench taps", WS_POPUP, 0, 0,
                                      GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr,
                                      nullptr, wc.hInstance, nullptr);
    if (hwnd != nullptr) {
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      ShowWindow(hwnd, SW_SHOW);
      SetForegroundWindow(hwnd);
      UpdateWindow(hwnd);
    }
    {
      std::lock_guard lock(mutex_);
      state_ = hwnd != nullptr ? State::Running : State::Failed;
      changed_.notify_all();
    }
    if (hwnd == nullptr) return;
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    DestroyWindow(hwnd);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
  }

  std::thread thread_;
  DWORD threadId_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  State state_ = State::Starting;
  COLORREF colour_ = RGB(0, 0, 0);  // the window thread's own
  std::vector<TapSeen> taps_;
};

// When the video thread had new images and sent video frames.
struct FrameStamps final : StageEvents {
  std::mutex mutex;
  std::vector<uint64_t> captured;                        // AcquireFrame's return
  std::vector<std::pair<uint64_t, uint64_t>> frameSends;  // each VideoFrame, in order

  void Captured(uint64_t, uint64_t end) override {
    std::lock_guard lock(mutex);
    captured.push_back(end);
  }
  void Encoded(uint64_t, uint64_t, bool) override {}
  void Sent(proto::MsgType type, uint64_t start, uint64_t end) override {
    if (type != proto::MsgType::VideoFrame) return;
    std::lock_guard lock(mutex);
    frameSends.emplace_back(start, end);
  }
};

// What the device received: the stream as Annex-B and when each video frame arrived.
struct Received {
  test::Bytes annexB;
  std::vector<uint64_t> frameArrivals;
};

std::string UnixPath(const std::wstring& windowsPath) {
  using ToUnix = char*(CDECL*)(const wchar_t*);
  const auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) return {};
  char* path = toUnix(windowsPath.c_str());
  if (path == nullptr) return {};
  std::string out(path);
  HeapFree(GetProcessHeap(), 0, path);
  return out;
}

// Decodes the stream with native ffmpeg into small RGB pictures, one per video frame.
// Under Wine a native program gives no process handle, so its end is read from the
// progress file it writes.
std::optional<std::vector<test::Bytes>> Decode(const test::TempDir& dir, const test::Bytes& annexB, std::string& why) {
  const std::wstring stream = dir.File(L"stream.h264"), pictures = dir.File(L"frames.rgb"),
                     progress = dir.File(L"progress.txt");
  {
    std::ofstream file(std::filesystem::path(stream), std::ios::binary);
    file.write(reinterpret_cast<const char*>(annexB.data()), static_cast<std::streamsize>(annexB.size()));
  }
  const std::string in = UnixPath(stream), out = UnixPath(pictures), prog = UnixPath(progress);
  if (in.empty() || out.empty() || prog.empty()) {
    why = "no Unix path for the stream (native ffmpeg runs only under Wine)";
    return std::nullopt;
  }
  std::wstring command = std::wstring(L"\"") + kFfmpeg +
                         L"\" -nostdin -hide_banner -loglevel error -f h264 -i \"" + Utf8ToWide(in) +
                         L"\" -fps_mode passthrough -vf scale=" + std::to_wstring(kDecodedWidth) + L":" +
                         std::to_wstring(kDecodedHeight) + L" -pix_fmt rgb24 -f rawvideo -progress \"" +
                         Utf8ToWide(prog) + L"\" -y \"" + Utf8ToWide(out) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &info)) {
    why = "native ffmpeg did not start (error " + std::to_string(GetLastError()) + ")";
    return std::nullopt;
  }
  if (info.hThread) CloseHandle(info.hThread);
  if (info.hProcess) CloseHandle(info.hProcess);
  const uint64_t until = NowMicros() + uint64_t{kDecodeWaitMs} * 1000;
  while (test::ReadFileBytes(progress).find("progress=end") == std::string::npos) {
    if (NowMicros() > until) {
      why = "native ffmpeg did not finish decoding";
      return std::nullopt;
    }
    Sleep(50);
  }
  const std::string raw = test::ReadFileBytes(pictures);
  std::vector<test::Bytes> frames;
  for (size_t at = 0; at + kDecodedFrameBytes <= raw.size(); at += kDecodedFrameBytes) {
    frames.emplace_back(raw.begin() + static_cast<std::ptrdiff_t>(at),
                        raw.begin() + static_cast<std::ptrdiff_t>(at + kDecodedFrameBytes));
  }
  return frames;
}

// The middle 4x4 of a decoded picture is within the tolerance of `colour` in each channel.
bool Shows(const test::Bytes& picture, COLORREF colour) {
  const int want[3] = {GetRValue(colour), GetGValue(colour), GetBValue(colour)};
  for (int y = kDecodedHeight / 2 - 2; y < kDecodedHeight / 2 + 2; ++y) {
    for (int x = kDecodedWidth / 2 - 2; x < kDecodedWidth / 2 + 2; ++x) {
      const size_t at = (size_t(y) * kDecodedWidth + size_t(x)) * 3;
      for (int c = 0; c < 3; ++c) {
        if (std::abs(int{picture[at + size_t(c)]} - want[c]) > kColourTolerance) return false;
      }
    }
  }
  return true;
}

double Ms(uint64_t from, uint64_t to) { return to >= from ? static_cast<double>(to - from) / 1000.0 : 0; }

void InputToFrameBench(BenchOut& out) {
  const std::string name = "video.input_to_frame_ms";
  TapWindow window;
  if (!window.Start()) return out.Fail(name + ": no window");
  ScopedBenchProfile runProfile;  // the harness gives back the profile it found
  test::MediaFoundationScope mediaFoundation;
  VirtualDisplayDriver driver;
  auto stamps = std::make_shared<FrameStamps>();
  Received received;
  std::vector<uint64_t> sentAt;
  std::vector<std::optional<TapSeen>> seen;
  {
    test::SessionHarness harness(driver);
    harness.parts = TimedVideoParts(stamps);
    test::HelloFields hello;
    hello.displayMode = 1;
    hello.panelWidth = 1280;
    hello.panelHeight = 720;
    hello.fps = 30;
    const auto welcome = harness.Connect(hello);
    if (!welcome || welcome->status != 0) return out.Fail(name + ": the session did not start");
    std::thread reader([&] {
      uint8_t type = 0;
      test::Bytes payload;
      while (harness.Read(type, payload)) {
        if (type == static_cast<uint8_t>(proto::MsgType::CodecConfig)) {
          received.annexB.insert(received.annexB.end(), payload.begin(), payload.end());
        } else if (type == static_cast<uint8_t>(proto::MsgType::VideoFrame) && payload.size() > 9) {
          received.frameArrivals.push_back(NowMicros());
          received.annexB.insert(received.annexB.end(), payload.begin() + 9, payload.end());
          harness.Send(static_cast<uint8_t>(proto::MsgType::FrameAck), test::Bytes(payload.begin(), payload.begin() + 8));
        }
      }
    });
    Sleep(kStartMs);
    for (size_t i = 0; i < kTaps; ++i) {
      sentAt.push_back(NowMicros());
      harness.Send(static_cast<uint8_t>(proto::MsgType::Pointer),
                   test::PointerPayload(kPointerDown, kLeftButton, kTapAt, kTapAt));
      seen.push_back(window.WaitFor(i, 2000));
      Sleep(kHeldMs);
      harness.Send(static_cast<uint8_t>(proto::MsgType::Pointer),
                   test::PointerPayload(kPointerUp, kLeftButton, kTapAt, kTapAt));
      if (!seen.back()) break;
      Sleep(kBetweenTapsMs);
    }
    harness.Send(static_cast<uint8_t>(proto::MsgType::Bye), {});
    reader.join();
    harness.WaitForEnd();
  }
  if (std::count(seen.begin(), seen.end(), std::nullopt) != 0) {
    return out.Fail(name + ": a tap never reached the window (tap " + std::to_string(seen.size() - 1) + ")");
  }
  test::TempDir dir;
  std::string why;
  const auto pictures = Decode(dir, received.annexB, why);
  if (!pictures) return out.Fail(name + ": " + why);
  if (pictures->size() != received.frameArrivals.size()) {
    return out.Fail(name + ": ffmpeg decoded " + std::to_string(pictures->size()) + " pictures of " +
                    std::to_string(received.frameArrivals.size()) + " video frames");
  }

  std::vector<double> total, injection, repaint, capture, encode, send, delivery;
  int missed = 0;
  std::lock_guard lock(stamps->mutex);
  for (size_t i = 0; i < seen.size(); ++i) {
    const COLORREF colour = kColours[i % kColours.size()];
    size_t frame = 0;
    while (frame < pictures->size() &&
           (received.frameArrivals[frame] < sentAt[i] || !Shows((*pictures)[frame], colour))) {
      ++frame;
    }
    const auto captured = std::lower_bound(stamps->captured.begin(), stamps->captured.end(), seen[i]->painted);
    if (frame == pictures->size() || frame >= stamps->frameSends.size() || captured == stamps->captured.end()) {
      ++missed;
      continue;
    }
    const auto [sendStart, sendEnd] = stamps->frameSends[frame];
    const uint64_t arrived = received.frameArrivals[frame];
    total.push_back(Ms(sentAt[i], arrived));
    injection.push_back(Ms(sentAt[i], seen[i]->down));
    repaint.push_back(Ms(seen[i]->down, seen[i]->painted));
    capture.push_back(Ms(seen[i]->painted, *captured));
    encode.push_back(Ms(*captured, sendStart));
    send.push_back(Ms(sendStart, sendEnd));
    delivery.push_back(Ms(sendEnd, arrived));
  }
  if (total.empty()) return out.Fail(name + ": no decoded picture showed a tap's colour");
  out.Figure(name, Quantile(total, 0.5), "ms");
  out.Figure(name + ".p95", Quantile(total, 0.95), "ms");
  // Medians of each stage: device send to the window's button-down, the repaint, paint to
  // the video thread's new image, that image to its video frame's send (conversion, encode,
  // packetising), sealing and writing, and the write to the device's read.
  for (auto [stage, samples] : {std::pair{"injection", &injection}, {"repaint", &repaint}, {"capture", &capture},
                                {"convert_encode", &encode}, {"send", &send}, {"delivery", &delivery}}) {
    out.Figure(name + "." + stage + ".median", Quantile(*samples, 0.5), "ms");
  }
  out.Figure(name + ".taps_not_seen", missed, "taps");
}

}  // namespace

TAVRO_BENCH("video.input_to_frame_ms", InputToFrameBench);

}  // namespace kelm::bench
