// The locked session of the lock-stream latency figures: the host's video thread on the
// lock screen stream, the device reading and acknowledging its frames.
#include "locked_session.h"

#include <windows.h>

#include <format>
#include <mutex>
#include <thread>

#include "bench_timing.h"
#include "core/clock.h"
#include "core/protocol.h"
#include "core/session_parts.h"
#include "media/d3d_test_device.h"
#include "media/lock_screen_stream.h"
#include "media/session_harness.h"
#include "media/session_lock.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"
#include "media/virtual_display_driver.h"
#include "support/lock_state.h"

namespace kelm::bench {

LockedSessionResult RunLockedSession(const LockedSessionRun& run) {
  LockedSessionResult result;
  test::MediaFoundationScope mediaFoundation;
  test::TestLockState lockState;
  VirtualDisplayDriver driver;
  if (!lockState.Lock(OwnSessionId())) {
    result.error = "cannot lock";
    return result;
  }
  LockScreenStreamParts parts;
  parts.client.pipeName = run.pipeName;
  test::SessionHarness harness(driver);
  harness.parts = DefaultSessionParts();
  harness.parts.audio = nullptr;
  harness.parts.video = [&parts](StreamContext& context) {
    VideoThread thread;
    thread.Start([&parts, &context](std::stop_token stop) {
      PipelineIo io;
      io.lockScreen = LockScreenHooks(context, parts);
      VideoPipeline::ThreadMain(context, std::move(io), std::move(stop));
    });
    return thread;
  };
  test::HelloFields hello;
  hello.displayMode = 1;
  hello.panelWidth = 1280;
  hello.panelHeight = 800;
  hello.fps = 30;
  const auto w = harness.Connect(hello);
  if (!w || w->status != 0) {
    result.error = "no session";
    return result;
  }

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
  const uint64_t connectBy = NowMicros() + 10000000;
  while (!run.hostConnected() && NowMicros() < connectBy) Sleep(10);
  Stopwatch watch;
  for (int i = 0; i < run.warmUp + run.measured && run.hostConnected(); ++i) {
    if (i == run.warmUp) {
      if (run.measuring) run.measuring();
      watch = Stopwatch();
    }
    const uint64_t due = NowMicros() + 50000;
    const size_t before = arrived();
    uint64_t taken = 0;
    if (!run.writeFrame(taken)) break;
    uint64_t got = 0;
    while (NowMicros() < taken + 1000000) {
      {
        std::lock_guard lock(mutex);
        if (arrivals.size() > before) {
          got = arrivals[before];
          break;
        }
      }
      Sleep(1);
    }
    if (i >= run.warmUp && got != 0) result.latencies.push_back(static_cast<double>(got - taken) / 1000.0);
    const uint64_t now = NowMicros();
    if (now < due) Sleep(static_cast<DWORD>((due - now) / 1000));
  }
  result.seconds = watch.Seconds();
  harness.Send(static_cast<uint8_t>(proto::MsgType::Bye), {});
  reader.join();
  harness.WaitForEnd();
  if (result.latencies.size() < static_cast<size_t>(run.measured / 2)) {
    result.error = std::format("only {} of {} frames reached the device", result.latencies.size(), run.measured);
  }
  return result;
}

}  // namespace kelm::bench
