// The lock agent's own capture and send: one changed 1920x1080 picture captured, made a
// frame body and written into a pipe the host side reads, and the time from the agent's
// capture to the device's VideoFrame in a real locked session, with the agent's CPU share.
#include <windows.h>

#include <atomic>
#include <format>
#include <mutex>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "changing_window.h"
#include "core/clock.h"
#include "core/win_handle.h"
#include "lock_agent_capture.h"
#include "locked_session.h"
#include "media/bars_window.h"
#include "media/pipe_framing.h"
#include "support/test_pipe.h"

namespace kelm::bench {
namespace {

// The lock agent's pipe out-buffer: one whole 1080p frame message.
constexpr DWORD kAgentBuffer = 5 + 8 + 1920 * 1080 * 4;
constexpr int kSamples = 30;
constexpr uint32_t kChangedWaitMs = 1000;

double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  const auto value = [](const FILETIME& f) { return (uint64_t{f.dwHighDateTime} << 32 | f.dwLowDateTime) / 1e7; };
  return value(kernel) + value(user);
}

// Reads whole frame messages from `pipe` until it closes.
std::thread FrameReader(HANDLE pipe) {
  return std::thread([pipe] {
    std::vector<uint8_t> body;
    uint8_t type = 0;
    while (ReadPipeMessage(pipe, type, body, kPipeMaxBody, nullptr)) {
    }
  });
}

void CaptureSend(BenchOut& out) {
  service::CaptureState capture;
  service::CaptureTarget target;
  if (!service::SetUpDuplication(capture, target)) return out.Fail("lock.agent_capture_send: no capture");
  if (target.rect.right - target.rect.left != 1920 || target.rect.bottom - target.rect.top != 1080) {
    out.Note("lock.agent_capture_send_1080p: the main monitor is not 1920x1080");
  }
  test::TestPipe pipe = test::MakeTestPipe(kAgentBuffer);
  if (!pipe.server) return out.Fail("lock.agent_capture_send: no pipe");
  std::thread reader = FrameReader(pipe.client.Get());
  ChangingWindow window(target.rect);
  std::mutex writeMutex;
  std::vector<double> total, captured, sent;
  service::AcquireLockScreenFrame(capture, 0);  // the first call always hands out an image
  for (int i = 0; i < kSamples + 3; ++i) {
    window.Change();
    Stopwatch watch;
    if (service::AcquireLockScreenFrame(capture, kChangedWaitMs) != CaptureResult::NewImage) break;
    const double captureMs = watch.Micros() / 1000;
    if (!service::SendLockScreenFrame(capture, pipe.server.Get(), writeMutex, nullptr)) break;
    if (i < 3) continue;  // the pages of both pipe buffers and the body warm up
    captured.push_back(captureMs);
    total.push_back(watch.Micros() / 1000);
    sent.push_back(total.back() - captureMs);
  }
  service::ReleaseDuplication(capture);
  pipe.server.Reset();
  reader.join();
  if (total.size() != kSamples) return out.Fail("lock.agent_capture_send: a changed screen gave no frame");
  out.Figure("lock.agent_capture_send_1080p", Quantile(total, 0.5), "ms");
  out.Figure("lock.agent_capture_send_1080p.capture", Quantile(captured, 0.5), "ms");
  out.Figure("lock.agent_capture_send_1080p.send", Quantile(sent, 0.5), "ms");
  out.Note("compare .capture with capture.acquire_changed_1920x1080 (the host's capture of the same screen)");
  out.Note(std::format("lock.agent_capture_send_1080p stages: capture {:.1f} ms, frame body and write {:.1f} ms; "
                       "compare with lock.agent_gdi_copy_1080p and lock.pipe_frame_1920x1080",
                       Quantile(captured, 0.5), Quantile(sent, 0.5)));
}

// The least a GDI copy of the screen costs here: BitBlt of the main monitor into a DIB
// section, flushed, nothing else (the stand-in's capture adds the alpha fill and the
// comparison with the image before).
void GdiCopy(BenchOut& out) {
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return out.Fail("lock.agent_gdi_copy: no screen");
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = dib != nullptr && memory != nullptr ? SelectObject(memory, dib) : nullptr;
  std::vector<double> samples;
  for (int i = 0; old != nullptr && i < kSamples + 3; ++i) {
    Stopwatch watch;
    if (!BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY | CAPTUREBLT)) break;
    GdiFlush();
    if (i >= 3) samples.push_back(watch.Micros() / 1000);
  }
  if (old != nullptr) SelectObject(memory, old);
  if (dib != nullptr) DeleteObject(dib);
  if (memory != nullptr) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (samples.size() != kSamples) return out.Fail("lock.agent_gdi_copy: BitBlt failed");
  out.Figure(std::format("lock.agent_gdi_copy_{}p", height), Quantile(samples, 0.5), "ms");
}

// The agent's capture loop at 20 fps of constant change (the bars window animates), each
// frame written into the pipe a real locked session reads.
void AgentToDevice(BenchOut& out) {
  const std::wstring pipeName = test::UniqueTestPipeName();
  WinHandle pipe = test::CreateLockPipeServer(pipeName, true);
  if (!pipe) return out.Fail("lock.agent_to_device: no pipe");
  std::atomic<bool> connected{false};
  WinHandle connectEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = connectEvent.Get();
  if (!ConnectNamedPipe(pipe.Get(), &ov) && GetLastError() == ERROR_PIPE_CONNECTED) SetEvent(ov.hEvent);
  test::BarsWindow bars;
  if (!bars.Start()) return out.Fail("lock.agent_to_device: no window");
  service::CaptureState capture;
  service::CaptureTarget target;
  if (!service::SetUpDuplication(capture, target)) return out.Fail("lock.agent_to_device: no capture");
  std::mutex writeMutex;

  LockedSessionRun run;
  run.pipeName = pipeName;
  run.hostConnected = [&] {
    if (!connected && WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0) connected = true;
    return connected.load();
  };
  run.writeFrame = [&](uint64_t& taken) {
    const uint64_t until = NowMicros() + kChangedWaitMs * 1000;
    while (!capture.frameWaiting && NowMicros() < until) {
      const CaptureResult got = service::AcquireLockScreenFrame(capture, 20);
      if (got == CaptureResult::Lost || got == CaptureResult::Unusable) return false;
    }
    if (!capture.frameWaiting) return false;
    taken = NowMicros();
    return service::SendLockScreenFrame(capture, pipe.Get(), writeMutex, nullptr);
  };
  double cpu0 = 0;
  run.measuring = [&] { cpu0 = ThreadCpuSeconds(); };
  const LockedSessionResult result = RunLockedSession(run);
  const double cpu = ThreadCpuSeconds() - cpu0;
  service::ReleaseDuplication(capture);
  if (!connected) CancelIoEx(pipe.Get(), &ov);
  DWORD ignored = 0;
  GetOverlappedResult(pipe.Get(), &ov, &ignored, TRUE);
  if (!result.error.empty()) return out.Fail("lock.agent_to_device: " + result.error);
  out.Figure("lock.agent_to_device_p50", Quantile(result.latencies, 0.5), "ms");
  out.Figure("lock.agent_to_device_p95", Quantile(result.latencies, 0.95), "ms");
  // The agent's work only: its capture, frame bodies and pipe writes on this thread.
  out.Figure("lock.agent_cpu", cpu / result.seconds * 100.0, "%");
  out.Note("compare with lock.frame_to_device_* (the same session fed ready-made frames)");
}

}  // namespace

TAVRO_BENCH("lock.agent_capture_send", CaptureSend);
TAVRO_BENCH("lock.agent_gdi_copy", GdiCopy);
TAVRO_BENCH("lock.agent_to_device", AgentToDevice);

}  // namespace kelm::bench
