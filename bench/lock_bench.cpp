// The lock-screen stream: whole frames through the pipe framing between two threads beside
// plain overlapped WriteFile/ReadFile of the same bytes, the largest message, and the time
// from the lock agent's write to the device's VideoFrame in a real session.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <format>
#include <span>
#include <thread>
#include <tuple>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "core/clock.h"
#include "core/win_handle.h"
#include "locked_session.h"
#include "media/pipe_framing.h"
#include "process_cpu.h"
#include "support/fake_lock_agent.h"
#include "support/test_pipe.h"

namespace kelm::bench {
namespace {

// The lock agent's pipe out-buffer: one whole 1080p frame message.
constexpr DWORD kAgentBuffer = 5 + 8 + 1920 * 1080 * 4;

// Milliseconds per frame message of `width` x `height`, framed (or plain), writer and
// reader on two threads; 0 on a failure.
double FrameMs(uint32_t width, uint32_t height, bool framed, int frames, DWORD buffer = kAgentBuffer) {
  test::TestPipe pipe = test::MakeTestPipe(buffer);
  if (!pipe.server) return 0;
  const size_t body = 8 + size_t{width} * height * 4;
  std::vector<uint8_t> sent(5 + body, 0x5A);
  const uint32_t length = static_cast<uint32_t>(body + 1);
  std::memcpy(sent.data(), &length, 4);
  sent[4] = 1;
  std::atomic<bool> ok{true};
  Stopwatch watch;
  std::thread writer([&] {
    for (int i = 0; i < frames && ok; ++i) {
      const bool wrote = framed ? WritePipeMessage(pipe.server.Get(), 1, std::span(sent).subspan(5, 8),
                                                   std::span(sent).subspan(13), nullptr)
                                : test::RawPipeTransfer(pipe.server.Get(), true, sent.data(), sent.size()) == sent.size();
      if (!wrote) ok = false;
    }
  });
  std::vector<uint8_t> received(framed ? 0 : sent.size());
  for (int i = 0; i < frames && ok; ++i) {
    uint8_t type = 0;
    const bool read = framed ? ReadPipeMessage(pipe.client.Get(), type, received, kPipeMaxBody, nullptr)
                             : test::RawPipeTransfer(pipe.client.Get(), false, received.data(), received.size()) == received.size();
    if (!read) ok = false;
  }
  writer.join();
  return ok ? watch.Seconds() * 1000.0 / frames : 0;
}

void PipeFrames(BenchOut& out) {
  for (const auto [w, h, frames] : {std::tuple{1920u, 1080u, 60}, {3840u, 2160u, 20}}) {
    const std::string name = std::format("lock.pipe_frame_{}x{}", w, h);
    FrameMs(w, h, true, 3);  // warm the pages of both buffers
    const double framed = FrameMs(w, h, true, frames);
    const double raw = FrameMs(w, h, false, frames);
    if (framed == 0 || raw == 0) return out.Fail(name + ": a transfer failed");
    out.Figure(name, framed, "ms");
    out.Figure(name + ".raw", raw, "ms");
    // Whether a pipe buffer that holds a whole frame of this size moves it faster.
    const DWORD wholeFrame = static_cast<DWORD>(8 + size_t{w} * h * 4 + 5);
    FrameMs(w, h, true, 3, wholeFrame);
    const double big = FrameMs(w, h, true, frames, wholeFrame);
    if (big == 0) return out.Fail(name + ": a transfer with a frame-sized buffer failed");
    out.Figure(name + ".frame_sized_buffer", big, "ms");
  }
}

void LargestMessage(BenchOut& out) {
  test::TestPipe pipe = test::MakeTestPipe(kAgentBuffer);
  if (!pipe.server) return out.Fail("lock.pipe_message_256mib: no pipe");
  const std::vector<uint8_t> body(kPipeMaxBody, 7);
  std::vector<uint8_t> received;
  Stopwatch watch;
  bool wrote = false;
  std::thread writer([&] { wrote = WritePipeMessage(pipe.server.Get(), 1, body, {}, nullptr); });
  uint8_t type = 0;
  const bool read = ReadPipeMessage(pipe.client.Get(), type, received, kPipeMaxBody, nullptr);
  writer.join();
  if (!wrote || !read || received.size() != body.size()) return out.Fail("lock.pipe_message_256mib: transfer failed");
  out.Figure("lock.pipe_message_256mib", watch.Seconds() * 1000.0, "ms");
}

// A real session, locked, with the fake agent writing one 1920x1080 frame every 50 ms
// (20 fps) and the device timing each frame's VideoFrame.
void FrameToDevice(BenchOut& out) {
  const std::wstring pipeName = test::UniqueTestPipeName();
  test::FakeLockAgent agent;
  test::FakeLockAgent::Options options;
  options.pipeName = pipeName;
  options.onDemand = true;
  if (!agent.Start(options)) return out.Fail("lock.frame_to_device: the agent's pipe");
  LockedSessionRun run;
  run.pipeName = pipeName;
  run.hostConnected = [&] { return agent.HostConnected(); };
  run.writeFrame = [&](uint64_t& taken) {
    taken = NowMicros();
    return agent.WriteOneFrame();
  };
  double cpu0 = 0;
  run.measuring = [&] { cpu0 = ProcessCpuSeconds(); };
  const LockedSessionResult result = RunLockedSession(run);
  const double cpu = ProcessCpuSeconds() - cpu0;
  if (!result.error.empty()) return out.Fail("lock.frame_to_device: " + result.error);
  out.Figure("lock.frame_to_device_p50", Quantile(result.latencies, 0.5), "ms");
  out.Figure("lock.frame_to_device_p95", Quantile(result.latencies, 0.95), "ms");
  out.Figure("lock.process_cpu", cpu / result.seconds * 100.0, "%");
  out.Note("compare with video.pipeline_1080p.* (the desktop stream of the same screen)");
}

}  // namespace

TAVRO_BENCH("lock.pipe_frame", PipeFrames);
TAVRO_BENCH("lock.pipe_message_256mib", LargestMessage);
TAVRO_BENCH("lock.frame_to_device", FrameToDevice);

}  // namespace kelm::bench
