// Frame acknowledgements, flow control and bitrate adaptation on a virtual clock.
#include "media/stream_feedback.h"

#include <gtest/gtest.h>

#include "virtual_clock.h"

namespace kelm {
namespace {

constexpr uint64_t kMs = 1000;

class FeedbackTest : public ::testing::Test {
 protected:
  test::VirtualClock clock;
  StreamFeedback fb{clock.Fn()};
  uint64_t nextStamp = 1;

  // One frame sent now and acknowledged `delay` later.
  void Round(uint64_t delay, uint64_t bytes = 1000) {
    const uint64_t stamp = nextStamp++;
    fb.RecordSentFrame(stamp, bytes);
    clock.Advance(delay);
    fb.OnFrameAck(stamp);
  }
  // Lets the current window run out and adapts; returns AdaptBitrate's answer.
  uint32_t CloseWindow() {
    const auto r = fb.Rate();
    const uint64_t end = r.windowStartMicros + StreamFeedback::kWindowMicros;
    if (clock.Now() < end) clock.Set(end);
    return fb.AdaptBitrate();
  }
  // A window of `acks` acknowledgements at `delay`, then the adaptation.
  uint32_t Window(int acks, uint64_t delay, uint64_t bytes = 1000) {
    for (int i = 0; i < acks; ++i) Round(delay, bytes);
    return CloseWindow();
  }
  // Pause, an empty window, then a window of `acks` acknowledgements.
  uint32_t QuietThen(uint64_t pause, int acks, uint64_t delay, uint64_t bytes = 1000) {
    clock.Advance(pause);
    CloseWindow();
    return Window(acks, delay, bytes);
  }
  // Learns a base delay of `base` without changing the rate.
  void LearnBase(uint64_t base) {
    for (int i = 0; i < 3; ++i) Round(base);
  }
};

TEST(RateArithmetic, UpDownAndBound) {
  struct Up {
    uint32_t from, to;
  };
  for (const Up c : {Up{1500, 1824}, {1824, 2197}, {2197, 2626}, {8000, 9300}, {9300, 10795}, {10000, 11600},
                     {11600, 13439}}) {
    EXPECT_EQ(RaisedKbps(c.from), c.to) << c.from;
  }
  EXPECT_EQ(LoweredKbps(10000, 4000), 4000u);
  EXPECT_EQ(LoweredKbps(10000, 9000), 7500u);
  EXPECT_EQ(LoweredKbps(10000, 200), 1500u);
  EXPECT_EQ(BoundKbps(1200, 20000), 1500u);
  EXPECT_EQ(BoundKbps(30000, 20000), 20000u);
  EXPECT_EQ(BoundKbps(1125, 1000), 1000u);  // a ceiling under the floor holds
  EXPECT_EQ(BoundKbps(1500, 1000), 1000u);
}

TEST_F(FeedbackTest, ConstructionDefaults) {
  EXPECT_TRUE(fb.keyFrameRequested.load());
  EXPECT_EQ(fb.FramesInFlight(), 0);
  const auto r = fb.Rate();
  EXPECT_EQ(r.ceilingKbps, 20000u);
  EXPECT_EQ(r.currentKbps, 20000u);
  EXPECT_EQ(r.baseDelayMicros, StreamFeedback::kUnknownDelay);
}

TEST_F(FeedbackTest, AckWithoutStampLowersCountOnly) {
  fb.ResetRate(10000, false);
  fb.RecordSentFrame(7, 100);
  clock.Advance(5 * kMs);
  fb.OnFrameAck(std::nullopt);
  EXPECT_EQ(fb.FramesInFlight(), 0);
  EXPECT_EQ(fb.LastAckMicros(), clock.Now());
  fb.OnFrameAck(std::nullopt);
  EXPECT_EQ(fb.FramesInFlight(), 0);
  const auto r = fb.Rate();
  EXPECT_EQ(r.sentFrames, 1u);
  EXPECT_EQ(r.delaySamples, 0u);
  EXPECT_EQ(r.deliveredBytes, 0u);
  EXPECT_EQ(r.baseDelayMicros, StreamFeedback::kUnknownDelay);
}

TEST_F(FeedbackTest, AckOfUnknownStampEmptiesQueue) {
  fb.ResetRate(10000, false);
  fb.RecordSentFrame(1, 100);
  fb.RecordSentFrame(2, 100);
  fb.OnFrameAck(99);
  const auto r = fb.Rate();
  EXPECT_EQ(r.sentFrames, 0u);
  EXPECT_EQ(r.delaySamples, 0u);
  EXPECT_EQ(r.baseDelayMicros, StreamFeedback::kUnknownDelay);
}

TEST_F(FeedbackTest, OutOfOrderAckDropsOlderEntries) {
  fb.ResetRate(10000, false);
  fb.RecordSentFrame(1, 100);
  clock.Advance(3 * kMs);
  fb.RecordSentFrame(2, 200);
  fb.RecordSentFrame(3, 300);
  clock.Advance(7 * kMs);
  fb.OnFrameAck(2);
  const auto r = fb.Rate();
  EXPECT_EQ(r.sentFrames, 1u);
  EXPECT_EQ(r.deliveredBytes, 200u);
  EXPECT_EQ(r.baseDelayMicros, 7 * kMs);
  EXPECT_DOUBLE_EQ(r.delayEstimateMicros, 7000.0);
}

TEST_F(FeedbackTest, FlowControlLimits) {
  fb.ResetRate(10000, false);
  clock.Advance(10 * kMs);
  fb.OnFrameAck(std::nullopt);  // an acknowledgement just now: no stall
  struct Case {
    uint64_t base;  // 0 = unknown
    uint32_t fps;
    int32_t limit;
  };
  for (const Case c : {Case{0, 60, 2}, {0, 120, 4}, {0, 240, 8}, {100 * kMs, 60, 8}, {1000 * kMs, 60, 10},
                       {1 * kMs, 60, 2}, {100 * kMs, 0, 2}}) {
    fb.ResetRate(10000, false);
    if (c.base != 0) LearnBase(c.base);
    fb.OnFrameAck(std::nullopt);
    int32_t sent = 0;
    while (fb.CanSendFrame(c.fps) && sent < 50) {
      fb.RecordSentFrame(1000 + sent, 10);
      ++sent;
    }
    EXPECT_EQ(sent, c.limit) << c.base << " " << c.fps;
    while (fb.FramesInFlight() > 0) fb.OnFrameAck(std::nullopt);
  }
}

TEST_F(FeedbackTest, StallOfOverOneSecondReleasesTheCount) {
  fb.ResetRate(10000, false);
  fb.OnFrameAck(std::nullopt);
  fb.RecordSentFrame(1, 10);
  fb.RecordSentFrame(2, 10);
  EXPECT_FALSE(fb.CanSendFrame(60));
  clock.Advance(1000 * kMs);
  EXPECT_FALSE(fb.CanSendFrame(60));
  clock.Advance(1);
  EXPECT_TRUE(fb.CanSendFrame(60));
  EXPECT_EQ(fb.FramesInFlight(), 0);
}

TEST_F(FeedbackTest, DeviceThatNeverAcknowledgesIsNotHeldBack) {
  fb.ResetRate(10000, false);
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(fb.CanSendFrame(60)) << i;
    fb.RecordSentFrame(i, 10);
    clock.Advance(16 * kMs);
  }
}

TEST_F(FeedbackTest, FewerThanThreeAcksChangeNothingButDiscardTheWindow) {
  fb.ResetRate(10000, false);
  LearnBase(10 * kMs);
  EXPECT_EQ(CloseWindow(), 0u);
  clock.Advance(2000 * kMs);
  EXPECT_EQ(Window(2, 10 * kMs), 0u);
  const auto r = fb.Rate();
  EXPECT_EQ(r.currentKbps, 10000u);
  EXPECT_EQ(r.delaySamples, 0u);
  EXPECT_EQ(r.deliveredBytes, 0u);
}

TEST_F(FeedbackTest, DownStepToDeliveredRate) {
  fb.ResetRate(10000, false);
  LearnBase(10 * kMs);
  EXPECT_EQ(CloseWindow(), 0u);
  // 4 x 62500 bytes over 500 ms is 4000 kbps; queuing 90 - 10 = 80 ms.
  EXPECT_EQ(QuietThen(800 * kMs, 4, 90 * kMs, 62500), 4000u);
  EXPECT_EQ(fb.Rate().currentKbps, 4000u);
}

TEST_F(FeedbackTest, NoDownStepWithin700msOfAChange) {
  fb.ResetRate(10000, false);
  LearnBase(10 * kMs);
  CloseWindow();
  EXPECT_EQ(QuietThen(800 * kMs, 4, 90 * kMs, 62500), 4000u);
  EXPECT_EQ(Window(4, 90 * kMs, 62500), 0u);  // 500 ms after the change
  EXPECT_EQ(Window(4, 90 * kMs, 62500), 3000u);
}

TEST_F(FeedbackTest, UpStepAndCeiling) {
  // From 10000 (a down step from 20000 at 10000 delivered), queuing 0, 1.6 s quiet.
  fb.ResetRate(20000, false);
  LearnBase(10 * kMs);
  CloseWindow();
  EXPECT_EQ(QuietThen(800 * kMs, 4, 90 * kMs, 156250), 10000u);
  EXPECT_EQ(QuietThen(1600 * kMs, 3, 10 * kMs), 11600u);

  // Under a ceiling of 11000 the rise stops at the ceiling and then holds.
  fb.ResetRate(11000, false);
  LearnBase(10 * kMs);
  CloseWindow();
  EXPECT_EQ(QuietThen(800 * kMs, 4, 90 * kMs, 156250), 8250u);
  EXPECT_EQ(QuietThen(1600 * kMs, 3, 10 * kMs), 9587u);
  EXPECT_EQ(QuietThen(1600 * kMs, 3, 10 * kMs), 11000u);
  EXPECT_EQ(QuietThen(1600 * kMs, 3, 10 * kMs), 0u);
}

TEST_F(FeedbackTest, NoRiseWithin1500msOfAChange) {
  fb.ResetRate(20000, true);
  LearnBase(10 * kMs);
  CloseWindow();
  EXPECT_EQ(QuietThen(400 * kMs, 3, 10 * kMs), 0u);   // about 1.4 s after the reset
  EXPECT_EQ(QuietThen(200 * kMs, 3, 10 * kMs), 9300u);
}

TEST_F(FeedbackTest, UpLadders) {
  // A remote start at 8000.
  fb.ResetRate(20000, true);
  EXPECT_EQ(fb.Rate().currentKbps, 8000u);
  LearnBase(10 * kMs);
  CloseWindow();
  EXPECT_EQ(QuietThen(1600 * kMs, 3, 10 * kMs), 9300u);
  EXPECT_EQ(QuietThen(1600 * kMs, 3, 10 * kMs), 10795u);
  // From the 1500 floor.
  fb.ResetRate(20000, false);
  LearnBase(10 * kMs);
  CloseWindow();
  EXPECT_EQ(QuietThen(800 * kMs, 4, 90 * kMs, 100), 1500u);
  for (const uint32_t expected : {1824u, 2197u, 2626u}) {
    EXPECT_EQ(QuietThen(1600 * kMs, 3, 10 * kMs), expected);
  }
}

TEST_F(FeedbackTest, LimitBelowFloorHoldsAtTheLimit) {
  fb.ResetRate(20000, false);
  fb.ApplyLimit(1000);
  auto r = fb.Rate();
  EXPECT_EQ(r.ceilingKbps, 1000u);
  EXPECT_EQ(r.currentKbps, 1500u);
  LearnBase(10 * kMs);
  // The first acting window brings the adaptation down to the limit...
  EXPECT_EQ(CloseWindow(), 1000u);
  // ...and 60 s of acting windows, clear and congested in turn, keep it there.
  for (int i = 0; i < 60; ++i) {
    const uint64_t delay = i % 2 == 0 ? 10 * kMs : 120 * kMs;
    EXPECT_EQ(QuietThen(500 * kMs, 3, delay, 40000), 0u) << i;
    EXPECT_EQ(fb.Rate().currentKbps, 1000u) << i;
  }
}

TEST_F(FeedbackTest, SetLimitsClampsAndKeepsZeroUntouched) {
  fb.SetLimits(0, 30);
  EXPECT_EQ(fb.TakePendingMaxKbps(), 0u);
  EXPECT_EQ(fb.TakePendingMaxFps(), 30u);
  fb.SetLimits(500, 0);
  EXPECT_EQ(fb.TakePendingMaxKbps(), 1000u);
  EXPECT_EQ(fb.TakePendingMaxFps(), 0u);
  fb.SetLimits(900000, 5);
  EXPECT_EQ(fb.TakePendingMaxKbps(), 200000u);
  EXPECT_EQ(fb.TakePendingMaxFps(), 10u);
  fb.SetLimits(5000, 1000);
  EXPECT_EQ(fb.TakePendingMaxFps(), 240u);
  EXPECT_EQ(fb.TakePendingMaxKbps(), 5000u);
  EXPECT_EQ(fb.TakePendingMaxKbps(), 0u);
}

TEST_F(FeedbackTest, OnlyTheLatestResizeIsTaken) {
  fb.SetPendingResize({100, 200, 0, 0});
  fb.SetPendingResize({300, 400, 640, 480});
  const auto size = fb.TakePendingResize();
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->panelWidth, 300);
  EXPECT_EQ(size->displayHeight, 480);
  EXPECT_FALSE(fb.TakePendingResize().has_value());
}

TEST_F(FeedbackTest, PauseAndResume) {
  fb.keyFrameRequested.store(false);
  EXPECT_TRUE(fb.SetPaused(true));
  EXPECT_FALSE(fb.SetPaused(true));
  EXPECT_TRUE(fb.Paused());
  EXPECT_FALSE(fb.keyFrameRequested.load());
  EXPECT_TRUE(fb.SetPaused(false));
  EXPECT_TRUE(fb.keyFrameRequested.load());
  EXPECT_FALSE(fb.SetPaused(false));
}

TEST_F(FeedbackTest, ResetRateClearsEverything) {
  fb.ResetRate(20000, false);
  LearnBase(10 * kMs);
  fb.RecordSentFrame(77, 500);
  fb.OnFrameAck(std::nullopt);
  const uint64_t lastAck = fb.LastAckMicros();
  clock.Advance(3000 * kMs);
  fb.ResetRate(5000, false);
  const auto r = fb.Rate();
  EXPECT_EQ(r.ceilingKbps, 5000u);
  EXPECT_EQ(r.currentKbps, 5000u);
  EXPECT_EQ(r.sentFrames, 0u);
  EXPECT_EQ(r.baseDelayMicros, StreamFeedback::kUnknownDelay);
  EXPECT_EQ(r.windowMinDelayMicros, StreamFeedback::kUnknownDelay);
  EXPECT_EQ(r.delayEstimateMicros, 0.0);
  EXPECT_EQ(r.delaySamples, 0u);
  EXPECT_EQ(r.deliveredBytes, 0u);
  EXPECT_EQ(r.windowStartMicros, clock.Now());
  EXPECT_EQ(r.lastChangeMicros, clock.Now());
  EXPECT_EQ(r.lastBaseResetMicros, clock.Now());
  EXPECT_EQ(fb.LastAckMicros(), lastAck);
  // Start rates: raised to the floor, and capped at 8000 when remote.
  fb.ResetRate(1200, false);
  EXPECT_EQ(fb.Rate().currentKbps, 1500u);
  fb.ResetRate(5000, true);
  EXPECT_EQ(fb.Rate().currentKbps, 5000u);
  fb.ResetRate(50000, true);
  EXPECT_EQ(fb.Rate().currentKbps, 8000u);
  EXPECT_EQ(fb.Rate().ceilingKbps, 50000u);
}

TEST_F(FeedbackTest, The257thSentFrameDropsTheOldest) {
  fb.ResetRate(20000, false);
  for (uint64_t stamp = 0; stamp < 257; ++stamp) fb.RecordSentFrame(stamp, 10);
  EXPECT_EQ(fb.Rate().sentFrames, 256u);
  EXPECT_EQ(fb.FramesInFlight(), 257);
  fb.OnFrameAck(1);  // the oldest left is stamp 1
  const auto r = fb.Rate();
  EXPECT_EQ(r.sentFrames, 255u);
  EXPECT_EQ(r.delaySamples, 1u);
}

TEST_F(FeedbackTest, BaseDelayRefreshesAfterTenSeconds) {
  fb.ResetRate(20000, false);
  LearnBase(10 * kMs);
  CloseWindow();
  EXPECT_EQ(fb.Rate().baseDelayMicros, 10 * kMs);
  // The path gets slower: after ten seconds the base follows the lowest recent delay.
  for (int i = 0; i < 22; ++i) QuietThen(0, 3, 50 * kMs);
  EXPECT_EQ(fb.Rate().baseDelayMicros, 50 * kMs);
}

}  // namespace
}  // namespace kelm
