// Closed-loop rate control: the real stream context and packetiser, an encoder that
// honours its bitrate, and a simulated device behind a link of limited capacity.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "fake_rate_encoder.h"
#include "media/stream_context.h"
#include "virtual_clock.h"

namespace kelm {
namespace {

constexpr uint64_t kMs = 1000;
constexpr uint64_t kSec = 1000000;
constexpr uint64_t kOneWayMicros = 10 * kMs;
constexpr uint32_t kFps = 60;
constexpr size_t kRecordOverhead = 21;  // record framing and tag, roughly

struct Change {
  uint64_t at;  // microseconds since connect
  uint32_t kbps;
};

// The device: a FIFO link of `linkKbps(t)` that delivers each message after its
// transmission plus 10 ms, and acknowledges each video frame on arrival.
class LoopSim {
 public:
  LoopSim(uint32_t negotiatedKbps, bool remote, std::function<uint32_t(uint64_t)> linkKbps, bool deviceAcks = true)
      : ctx_(Setup(negotiatedKbps)), linkKbps_(std::move(linkKbps)), deviceAcks_(deviceAcks),
        enc_(1280, negotiatedKbps, kFps) {
    start_ = clock_.Now();
    fb_.ResetRate(negotiatedKbps, remote);
  }

  // Runs the video loop until `untilMicros` after connect.
  void RunUntil(uint64_t untilMicros) {
    while (nextTick_ <= untilMicros) {
      DeliverAcksUpTo(nextTick_);
      clock_.Set(start_ + nextTick_);
      const size_t before = enc_.Calls().size();
      ctx_.ApplyRate(enc_);
      if (enc_.Calls().size() != before) changes_.push_back({nextTick_, enc_.Kbps()});
      if (fb_.CanSendFrame(ctx_.fps)) {
        const bool key = fb_.keyFrameRequested.exchange(false);
        EXPECT_TRUE(ctx_.SendFrame(enc_.Next(static_cast<int64_t>(nextTick_), key), enc_));
        ++framesSent_;
      }
      trace_[nextTick_] = enc_.Kbps();
      nextTick_ += kSec / kFps;
    }
  }

  // The encoder's bitrate at `t` (the last loop step at or before it).
  uint32_t RateAt(uint64_t t) const { return std::prev(trace_.upper_bound(t))->second; }
  const std::map<uint64_t, uint32_t>& Trace() const { return trace_; }
  const std::vector<Change>& Changes() const { return changes_; }
  int FramesSent() const { return framesSent_; }
  StreamContext& Context() { return ctx_; }
  StreamFeedback& Feedback() { return fb_; }
  test::FakeRateEncoder& Encoder() { return enc_; }

 private:
  StreamSetup Setup(uint32_t negotiatedKbps) {
    StreamSetup setup;
    setup.label = "sim";
    setup.feedback = &fb_;
    setup.fps = kFps;
    setup.kbps = negotiatedKbps;
    setup.send = [this](const msg::Message& m) { return Transmit(m); };
    return setup;
  }
  bool Transmit(const msg::Message& m) {
    const uint64_t now = clock_.Now() - start_;
    const uint64_t bytes = m.payload.size() + 1 + kRecordOverhead;
    const uint64_t begin = std::max(now, linkFreeAt_);
    linkFreeAt_ = begin + bytes * 8000 / linkKbps_(begin);
    if (m.type == proto::MsgType::VideoFrame && deviceAcks_) {
      uint64_t stamp = 0;
      for (int i = 7; i >= 0; --i) stamp = stamp << 8 | m.payload[i];
      // Arrives after transmission and the one-way delay; the ack takes as long back.
      acks_.emplace(linkFreeAt_ + 2 * kOneWayMicros, stamp);
    }
    return true;
  }
  void DeliverAcksUpTo(uint64_t t) {
    while (!acks_.empty() && acks_.begin()->first <= t) {
      clock_.Set(start_ + acks_.begin()->first);
      fb_.OnFrameAck(acks_.begin()->second);
      acks_.erase(acks_.begin());
    }
  }

  test::VirtualClock clock_;
  StreamFeedback fb_{clock_.Fn()};
  StreamContext ctx_;
  std::function<uint32_t(uint64_t)> linkKbps_;
  bool deviceAcks_;
  test::FakeRateEncoder enc_;
  uint64_t start_ = 0;
  uint64_t nextTick_ = 0;
  uint64_t linkFreeAt_ = 0;
  std::multimap<uint64_t, uint64_t> acks_;
  std::map<uint64_t, uint32_t> trace_;
  std::vector<Change> changes_;
  int framesSent_ = 0;
};

TEST(ClosedLoop, ConstantLinkSettlesAroundItsCapacity) {
  constexpr uint32_t kLink = 6000;
  LoopSim sim(20000, false, [](uint64_t) { return kLink; });
  sim.RunUntil(40 * kSec);
  for (const auto& [t, kbps] : sim.Trace()) {
    if (t < 5 * kSec) continue;
    ASSERT_GE(kbps, kLink * 6 / 10) << "at " << t;
    ASSERT_LE(kbps, kLink * 15 / 10) << "at " << t;
  }
}

TEST(ClosedLoop, FollowsACapacityDropAndRecovery) {
  auto link = [](uint64_t t) -> uint32_t { return t >= 10 * kSec && t < 30 * kSec ? 3000 : 20000; };
  LoopSim sim(20000, false, link);
  sim.RunUntil(30 * kSec);
  EXPECT_LE(sim.RateAt(11500 * kMs), 4700u);
  EXPECT_LE(sim.RateAt(13 * kSec), 3500u);
  const size_t changesBeforeRecovery = sim.Changes().size();
  const uint32_t rateAtRecovery = sim.RateAt(30 * kSec);

  sim.RunUntil(100 * kSec);
  // Back at full capacity: only rises, each trunc(cur x 1.15) + 100, at least
  // 1.5 s apart, up to the ceiling.
  uint32_t cur = rateAtRecovery;
  uint64_t lastAt = 30 * kSec;
  const auto& changes = sim.Changes();
  ASSERT_GT(changes.size(), changesBeforeRecovery);
  for (size_t i = changesBeforeRecovery; i < changes.size(); ++i) {
    EXPECT_EQ(changes[i].kbps, std::min<uint32_t>(RaisedKbps(cur), 20000)) << "change " << i;
    if (i > changesBeforeRecovery) {
      EXPECT_GE(changes[i].at - lastAt, 1500 * kMs) << "change " << i;
    }
    cur = changes[i].kbps;
    lastAt = changes[i].at;
  }
  EXPECT_EQ(sim.RateAt(100 * kSec), 20000u);
}

TEST(ClosedLoop, DeviceThatNeverAcknowledgesIsNeverHeldBack) {
  LoopSim sim(20000, false, [](uint64_t) { return 6000u; }, /*deviceAcks=*/false);
  sim.RunUntil(10 * kSec);
  EXPECT_EQ(sim.FramesSent(), static_cast<int>(10 * kFps + 1));
  EXPECT_TRUE(sim.Changes().empty());
}

TEST(ClosedLoop, RemoteSessionStartsAdaptationAt8000) {
  LoopSim sim(20000, true, [](uint64_t) { return 50000u; });
  EXPECT_EQ(sim.Context().bitrateKbps, 20000u);
  EXPECT_EQ(sim.Feedback().Rate().currentKbps, 8000u);
  sim.RunUntil(5 * kSec);
  ASSERT_FALSE(sim.Changes().empty());
  EXPECT_EQ(sim.Changes()[0].kbps, 9300u);
  EXPECT_GE(sim.Changes()[0].at, 1500 * kMs);

  LoopSim low(5000, true, [](uint64_t) { return 50000u; });
  EXPECT_EQ(low.Feedback().Rate().currentKbps, 5000u);
  EXPECT_EQ(low.Feedback().Rate().ceilingKbps, 5000u);
}

TEST(ClosedLoop, DeviceLimitOf1000HoldsForAMinute) {
  LoopSim sim(20000, false, [](uint64_t) { return 50000u; });
  sim.RunUntil(2 * kSec);
  sim.Feedback().SetLimits(1000, 0);
  sim.RunUntil(2 * kSec + kSec / kFps);
  ASSERT_FALSE(sim.Encoder().Calls().empty());
  EXPECT_EQ(sim.Encoder().Calls().back(), 1000u);
  sim.RunUntil(62 * kSec);
  for (const auto& [t, kbps] : sim.Trace()) {
    if (t > 2 * kSec + kSec / kFps) {
      ASSERT_LE(kbps, 1000u) << "at " << t;
    }
  }
}

}  // namespace
}  // namespace kelm
