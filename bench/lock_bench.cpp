// The lock-screen stream: whole frames through the pipe framing between two threads beside
// plain overlapped WriteFile/ReadFile of the same bytes, the largest message, and the time
// from the lock agent's write to the device's VideoFrame in a real session.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <format>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <tuple>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "core/clock.h"
#include "core/protocol.h"
#include "core/win_handle.h"
#include "core/session_parts.h"
#include "media/d3d_test_device.h"
#include "media/lock_screen_stream.h"
#include "media/pipe_framing.h"
#include "media/session_harness.h"
#include "media/session_lock.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"
#include "media/virtual_display_driver.h"
#include "process_cpu.h"
#include "support/fake_lock_agent.h"
#include "support/lock_state.h"
#include "support/test_pipe.h"

namespace kelm::bench {
namespace {

// The lock agent's pipe buffer.
constexpr DWORD kAgentBuffer = 1048576;

// Milliseconds per frame message of `width` x `height`, framed (or plain), writer and
// reader on two threads; 0 on a failure.
double FrameMs(uint32_t width, uint32_t height, bool framed, int frames) {
  test::TestPipe pipe = test::MakeTestPipe(kAgentBuffer);
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
  test::MediaFoundationScope mediaFoundation;
  test::TestLockState lockState;
  VirtualDisplayDriver driver;
  const std::wstring pipeName = test::UniqueTestPipeName();
  test::FakeLockAgent agent;
  test::FakeLockAgent::Options options;
  options.pipeName = pipeName;
  options.onDemand = true;
  if (!agent.Start(options)) return out.Fail("lock.frame_to_device: the agent's pipe");
  if (!lockState.Lock(OwnSessionId())) return out.Fail("lock.frame_to_device: cannot lock");

  LockScreenStreamParts parts;
  parts.client.pipeName = pipeName;
  test::SessionHarness harness(driver);
  harness.parts = DefaultSessionParts();
  harness.parts.audio = nullptr;
  harness.parts.video = [&parts](StreamContext& context) {
    return std::thread([&parts, &context] {
      PipelineIo io;
      io.lockScreen = LockScreenHooks(context, parts);
      VideoPipeline::ThreadMain(context, std::move(io));
    });
  };
  test::HelloFields hello;
  hello.displayMode = 1;
  hello.panelWidth = 1280;
  hello.panelHeight = 800;
  hello.fps = 30;
  const auto w = harness.Connect(hello);
  if (!w || w->status != 0) return out.Fail("lock.frame_to_device: no session");

  std::mutex mutex;
  std::vector<uint64_t> arrivals;
  std::thread reader([&] {
    uint8_t type = 0;
    test::Bytes payload;
    while (harness.Read(type, payload)) {
      if (type != static_cast<uint8_t>(proto::MsgType::VideoFrame) || payload.size() < 9) continue;
      {
        std::lock_guard lock(mutex);
        arrivals.push_back(NowMicros());
      }
      harness.Send(static_cast<uint8_t>(proto::MsgType::FrameAck), test::Bytes(payload.begin(), payload.begin() + 8));
    }
  });
  const auto arrived = [&] {
    std::lock_guard lock(mutex);
    return arrivals.size();
  };
  std::vector<double> latencies;
  double cpu = 0, seconds = 0;
  const uint64_t connectBy = NowMicros() + 10000000;
  while (!agent.HostConnected() && NowMicros() < connectBy) Sleep(10);
  constexpr int kWarmUp = 40;  // the encoder's start and the frames a software encoder holds back
  constexpr int kMeasured = 200;
  double cpu0 = 0;
  Stopwatch watch;
  for (int i = 0; i < kWarmUp + kMeasured && agent.HostConnected(); ++i) {
    if (i == kWarmUp) {
      cpu0 = ProcessCpuSeconds();
      watch = Stopwatch();
    }
    const uint64_t due = NowMicros() + 50000;
    const size_t before = arrived();
    const uint64_t written = NowMicros();
    if (!agent.WriteOneFrame()) break;
    uint64_t got = 0;
    while (NowMicros() < written + 1000000) {
      {
        std::lock_guard lock(mutex);
        if (arrivals.size() > before) {
          got = arrivals[before];
          break;
        }
      }
      Sleep(1);
    }
    if (i >= kWarmUp && got != 0) latencies.push_back(static_cast<double>(got - written) / 1000.0);
    const uint64_t now = NowMicros();
    if (now < due) Sleep(static_cast<DWORD>((due - now) / 1000));
  }
  seconds = watch.Seconds();
  cpu = ProcessCpuSeconds() - cpu0;
  harness.Send(static_cast<uint8_t>(proto::MsgType::Bye), {});
  reader.join();
  harness.WaitForEnd();
  if (latencies.size() < kMeasured / 2) {
    return out.Fail(std::format("lock.frame_to_device: only {} of {} frames reached the device", latencies.size(),
                                kMeasured));
  }
  out.Figure("lock.frame_to_device_p50", Quantile(latencies, 0.5), "ms");
  out.Figure("lock.frame_to_device_p95", Quantile(latencies, 0.95), "ms");
  out.Figure("lock.process_cpu", cpu / seconds * 100.0, "%");
  out.Note("compare with video.pipeline_1080p.* (the desktop stream of the same screen)");
}

}  // namespace

TAVRO_BENCH("lock.pipe_frame", PipeFrames);
TAVRO_BENCH("lock.pipe_message_256mib", LargestMessage);
TAVRO_BENCH("lock.frame_to_device", FrameToDevice);

}  // namespace kelm::bench
