// The session thread and the video thread using one StreamFeedback at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "fake_rate_encoder.h"
#include "media/stream_context.h"

namespace kelm {
namespace {

TEST(StreamConcurrency, FeedbackFloodWhileTheVideoThreadRuns) {
  StreamFeedback fb;  // the real clock
  fb.ResetRate(20000, false);
  StreamSetup setup;
  setup.label = "flood";
  setup.feedback = &fb;
  setup.fps = 60;
  setup.kbps = 20000;
  std::atomic<uint64_t> lastStamp{0};
  setup.send = [&](const msg::Message&) { return true; };
  StreamContext ctx(std::move(setup));
  test::FakeRateEncoder enc(1280, 20000, 60);

  std::atomic<bool> stop{false};
  std::atomic<int32_t> lowest{0};
  std::atomic<int> videoSteps{0};
  std::thread video([&] {
    int64_t t = 0;
    while (!stop.load()) {
      ctx.ApplyRate(enc);
      if (fb.CanSendFrame(ctx.fps)) {
        ctx.SendFrame(enc.Next(++t, fb.keyFrameRequested.exchange(false)), enc);
        lastStamp.store(static_cast<uint64_t>(t));
      }
      if (auto size = fb.TakePendingResize()) ctx.TakeStreamSize(*size);
      lowest.store(std::min(lowest.load(), fb.FramesInFlight()));
      ++videoSteps;
    }
  });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  uint64_t i = 0;
  while (std::chrono::steady_clock::now() < end) {
    ++i;
    fb.OnFrameAck(i % 3 == 0 ? std::optional<uint64_t>() : std::optional<uint64_t>(lastStamp.load()));
    if (i % 50 == 0) fb.SetLimits(static_cast<uint32_t>(1000 + i % 30000), static_cast<uint32_t>(10 + i % 200));
    if (i % 70 == 0) fb.SetPendingResize({static_cast<uint16_t>(640 + i % 100), 480, 0, 0});
    if (i % 90 == 0) fb.SetPaused(i % 180 == 0);
    if (i % 110 == 0) fb.keyFrameRequested.store(true);
    lowest.store(std::min(lowest.load(), fb.FramesInFlight()));
  }
  stop.store(true);
  video.join();
  EXPECT_GE(lowest.load(), 0);
  EXPECT_GT(videoSteps.load(), 100);
  for (int k = 0; k < 20; ++k) fb.OnFrameAck(std::nullopt);
  EXPECT_EQ(fb.FramesInFlight(), 0);
}

}  // namespace
}  // namespace kelm
