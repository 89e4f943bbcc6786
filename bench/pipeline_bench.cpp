// Whole video pipeline through real sessions: per-stage capture-to-send latency, frames
// per second and process CPU while a full-screen window changes every frame. Capture is
// the time in AcquireFrame up to a new image (waiting included); encode includes the
// colour conversion where the CPU does it, which is also given alone as convert.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <format>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_profile.h"
#include "bench_timing.h"
#include "process_cpu.h"
#include "timed_pipeline.h"
#include "core/clock.h"
#include "core/session_parts.h"
#include "media/cpu_nv12_converter.h"
#include "media/d3d_test_device.h"
#include "media/session_harness.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"
#include "media/virtual_display_driver.h"

namespace kelm::bench {
namespace {

// Three seconds give each stage about 90 samples a session at 30 fps (360 with four
// sessions): enough for a steady median and p95 of every stage.
constexpr double kRunSeconds = 3.0;
// Frames every session has received before the clock starts: past the encoders' start and
// the frames a software encoder holds back, which come out together once it is running.
constexpr uint64_t kWarmUpFrames = 20;
constexpr DWORD kWarmUpMs = 8000;

// Stage samples of one session, in microseconds: the send of a video frame message is
// its sealing and writing, and the time from the encoder's return to the first message
// after it is the packetising.
struct Stages final : StageEvents {
  std::mutex mutex;
  std::vector<double> capture, encode, packetise, send;
  uint64_t encodeEnd = 0;  // when the last Encode returned, until its first send

  void Captured(uint64_t start, uint64_t end) override {
    std::lock_guard lock(mutex);
    capture.push_back(static_cast<double>(end - start));
  }
  void Encoded(uint64_t start, uint64_t end, bool produced) override {
    std::lock_guard lock(mutex);
    encode.push_back(static_cast<double>(end - start));
    encodeEnd = produced ? end : 0;
  }
  void Sent(proto::MsgType type, uint64_t start, uint64_t end) override {
    std::lock_guard lock(mutex);
    if (encodeEnd != 0 && (type == proto::MsgType::VideoFrame || type == proto::MsgType::CodecConfig)) {
      packetise.push_back(static_cast<double>(start - encodeEnd));
      encodeEnd = 0;
    }
    if (type == proto::MsgType::VideoFrame) send.push_back(static_cast<double>(end - start));
  }
};

// A full-screen window that changes colour as fast as it can be painted.
class ChangingScreen {
 public:
  ChangingScreen() {
    thread_ = std::thread([this] { Run(); });
    while (!started_) Sleep(5);
  }
  ~ChangingScreen() {
    if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
  }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER) {
      HDC dc = GetDC(hwnd);
      RECT r;
      GetClientRect(hwnd, &r);
      static uint32_t n = 0;
      ++n;
      HBRUSH brush = CreateSolidBrush(RGB(n * 37 % 256, n * 91 % 256, n * 13 % 256));
      FillRect(dc, &r, brush);
      DeleteObject(brush);
      ReleaseDC(hwnd, dc);
      return 0;
    }
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }
  void Run() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    // A class name of its own: a class of the same name registered earlier by another
    // benchmark would bring its window procedure, which neither paints nor quits.
    wc.lpszClassName = L"tavro.bench.Cycling";
    RegisterClassW(&wc);
    window_ = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"", WS_POPUP | WS_VISIBLE, 0, 0,
                              GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), nullptr, nullptr,
                              wc.hInstance, nullptr);
    if (window_) SetTimer(window_, 1, 10, nullptr);
    started_ = true;
    MSG m;
    while (window_ && GetMessageW(&m, nullptr, 0, 0) > 0) DispatchMessageW(&m);
    UnregisterClassW(wc.lpszClassName, wc.hInstance);
  }

  std::thread thread_;
  HWND window_ = nullptr;
  std::atomic<bool> started_{false};
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// One device session: connects, reads and acknowledges frames until told to stop.
struct BenchSession {
  explicit BenchSession(VirtualDisplayDriver& driver) : stages(std::make_shared<Stages>()), harness(driver) {
    harness.parts = TimedVideoParts(stages);
  }
  bool Start(uint16_t panelWidth, uint16_t panelHeight) {
    test::HelloFields hello;
    hello.displayMode = 1;
    hello.panelWidth = panelWidth;
    hello.panelHeight = panelHeight;
    hello.fps = 60;
    const auto w = harness.Connect(hello);
    if (!w || w->status != 0) return false;
    reader = std::thread([this] {
      uint8_t type = 0;
      test::Bytes payload;
      while (harness.Read(type, payload)) {
        if (type == static_cast<uint8_t>(proto::MsgType::VideoFrame) && payload.size() >= 8) {
          ++seen;
          if (counting) ++frames;
          harness.Send(static_cast<uint8_t>(proto::MsgType::FrameAck), test::Bytes(payload.begin(), payload.begin() + 8));
        }
      }
    });
    return true;
  }
  void Stop() {
    harness.Send(static_cast<uint8_t>(proto::MsgType::Bye), {});
    if (reader.joinable()) reader.join();
    harness.WaitForEnd();
  }

  std::shared_ptr<Stages> stages;
  test::SessionHarness harness;
  std::thread reader;
  std::atomic<bool> counting{false};
  std::atomic<uint64_t> frames{0};
  std::atomic<uint64_t> seen{0};  // every frame, counted or not
};

void RunPipeline(BenchOut& out, const std::string& name, uint16_t panelWidth, uint16_t panelHeight, int sessions) {
  // Each session's harness takes a profile of its own and gives back the one before it, in
  // the order the sessions end: this puts the run's profile back after the last.
  ScopedBenchProfile runProfile;
  test::MediaFoundationScope mediaFoundation;  // as the host service starts it
  VirtualDisplayDriver driver;
  std::vector<std::unique_ptr<BenchSession>> all;
  for (int i = 0; i < sessions; ++i) {
    all.push_back(std::make_unique<BenchSession>(driver));
    if (!all.back()->Start(panelWidth, panelHeight)) {
      out.Fail(name + ": a session did not start");
      for (auto& s : all) s->Stop();
      return;
    }
  }
  const uint64_t warmUpEnd = GetTickCount64() + kWarmUpMs;
  auto warmedUp = [&] {
    return std::all_of(all.begin(), all.end(), [](const auto& s) { return s->seen >= kWarmUpFrames; });
  };
  while (!warmedUp() && GetTickCount64() < warmUpEnd) Sleep(20);
  for (auto& s : all) {
    std::lock_guard lock(s->stages->mutex);
    s->stages->capture.clear();
    s->stages->encode.clear();
    s->stages->packetise.clear();
    s->stages->send.clear();
    s->counting = true;
  }
  const double cpu0 = ProcessCpuSeconds();
  Stopwatch watch;
  Sleep(static_cast<DWORD>(kRunSeconds * 1000));
  const double seconds = watch.Seconds();
  const double cpu = ProcessCpuSeconds() - cpu0;
  uint64_t frames = 0;
  Stages merged;
  for (auto& s : all) {
    s->counting = false;
    frames += s->frames;
    std::lock_guard lock(s->stages->mutex);
    for (auto [from, to] : {std::pair{&s->stages->capture, &merged.capture}, {&s->stages->encode, &merged.encode},
                            {&s->stages->packetise, &merged.packetise}, {&s->stages->send, &merged.send}}) {
      to->insert(to->end(), from->begin(), from->end());
    }
  }
  for (auto& s : all) s->Stop();
  if (frames == 0) {
    out.Fail(name + ": no frames arrived");
    return;
  }
  for (auto [stage, samples] : {std::pair{"capture", &merged.capture}, {"encode", &merged.encode},
                                {"packetise", &merged.packetise}, {"send", &merged.send}}) {
    out.Figure(std::format("{}.{}.p50", name, stage), Percentile(*samples, 0.5) / 1000.0, "ms");
    out.Figure(std::format("{}.{}.p95", name, stage), Percentile(*samples, 0.95) / 1000.0, "ms");
  }
  out.Figure(name + ".fps_per_session", static_cast<double>(frames) / seconds / sessions, "fps");
  out.Figure(name + ".process_cpu", cpu / seconds * 100.0, "%");
}

// The CPU colour conversion of the same geometry (the encoder converts inside its
// Encode call when the GPU cannot, so this is that share of the encode stage).
void ConvertStage(BenchOut& out, const std::string& name, uint32_t w, uint32_t h) {
  const uint32_t sw = static_cast<uint32_t>(GetSystemMetrics(SM_CXSCREEN));
  const uint32_t sh = static_cast<uint32_t>(GetSystemMetrics(SM_CYSCREEN));
  std::vector<uint8_t> bgra(size_t{sw} * sh * 4);
  std::mt19937 rng(5);
  for (auto& b : bgra) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> nv12(size_t{w} * h * 3 / 2);
  CpuNv12Converter converter;
  if (!converter.Prepare(sw, sh, DisplayRotation::Identity, w, h)) return out.Fail(name + ".convert: refused");
  const BgraView source{bgra.data(), size_t{sw} * 4, sw, sh};
  const Nv12View target{nv12.data(), w, nv12.data() + size_t{w} * h, w, w, h};
  std::vector<double> samples;
  RunFor(1.0, 10, [&] {
    Stopwatch s;
    const bool ok = converter.Convert(source, target);
    samples.push_back(s.Micros());
    return ok;
  });
  out.Figure(name + ".convert.p50", Percentile(samples, 0.5) / 1000.0, "ms");
  out.Figure(name + ".convert.p95", Percentile(samples, 0.95) / 1000.0, "ms");
}

void Pipeline720(BenchOut& out) {
  ChangingScreen screen;
  ConvertStage(out, "video.pipeline_720p", 1280, 720);
  RunPipeline(out, "video.pipeline_720p", 1280, 720, 1);
}

void Pipeline1080(BenchOut& out) {
  ChangingScreen screen;
  ConvertStage(out, "video.pipeline_1080p", 1920, 1080);
  RunPipeline(out, "video.pipeline_1080p", 1920, 1080, 1);
}

void Pipeline720FourSessions(BenchOut& out) {
  ChangingScreen screen;
  RunPipeline(out, "video.pipeline_720p_4sessions", 1280, 720, 4);
}

void Pipeline1080FourSessions(BenchOut& out) {
  ChangingScreen screen;
  RunPipeline(out, "video.pipeline_1080p_4sessions", 1920, 1080, 4);
}

}  // namespace

TAVRO_BENCH("video.pipeline_720p", Pipeline720);
TAVRO_BENCH("video.pipeline_1080p", Pipeline1080);
TAVRO_BENCH("video.pipeline_720p_4sessions", Pipeline720FourSessions);
TAVRO_BENCH("video.pipeline_1080p_4sessions", Pipeline1080FourSessions);

}  // namespace kelm::bench
