// Stream context: limits and adaptation reaching the encoder, and frame sending.
#include "media/stream_context.h"

#include <gtest/gtest.h>

#include "fake_rate_encoder.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "virtual_clock.h"

namespace kelm {
namespace {

constexpr uint64_t kMs = 1000;

class ContextTest : public ::testing::Test {
 protected:
  test::VirtualClock clock;
  StreamFeedback fb{clock.Fn()};
  StreamContext ctx{MakeSetup()};
  std::vector<msg::Message> sent;
  bool sendOk = true;

  StreamSetup MakeSetup() {
    StreamSetup setup;
    setup.label = "peer";
    setup.feedback = &fb;
    setup.kbps = 20000;
    setup.fps = 60;
    setup.send = [this](const msg::Message& m) {
      sent.push_back(m);
      return sendOk;
    };
    return setup;
  }
};

TEST_F(ContextTest, FrameSizeFollowsHelloAndResize) {
  ctx.hello.panelWidth = 300;
  ctx.hello.panelHeight = 200;
  EXPECT_EQ(ctx.FrameWidth(), 640);
  EXPECT_EQ(ctx.FrameHeight(), 480);
  ctx.TakeStreamSize({2000, 1200, 1920, 1080});
  EXPECT_EQ(ctx.FrameWidth(), 1920);
  EXPECT_EQ(ctx.FrameHeight(), 1080);
  ctx.TakeStreamSize({2000, 1200, 0, 0});
  EXPECT_EQ(ctx.FrameWidth(), 2000);
  EXPECT_EQ(ctx.FrameHeight(), 1200);
}

TEST_F(ContextTest, DeviceLimitReachesTheEncoderAtOnce) {
  test::TempDir dir;
  test::LogCapture log(dir.Path() + L"\\limit.log");
  fb.ResetRate(20000, false);
  test::FakeRateEncoder enc(1280, 20000, 60);
  fb.SetLimits(1000, 0);
  ctx.ApplyRate(enc);
  EXPECT_EQ(enc.Calls(), std::vector<uint32_t>{1000});
  EXPECT_EQ(ctx.bitrateKbps, 1000u);
  EXPECT_EQ(fb.Rate().ceilingKbps, 1000u);
  EXPECT_EQ(fb.Rate().currentKbps, 1500u);
  EXPECT_NE(log.Text().find("[peer] bitrate -> 1000 kbps"), std::string::npos);
  ctx.ApplyRate(enc);
  EXPECT_EQ(enc.Calls().size(), 1u);
}

TEST_F(ContextTest, ClosedEncoderOnlyKeepsTheRate) {
  fb.ResetRate(20000, false);
  test::FakeRateEncoder enc(0, 20000, 60);
  fb.SetLimits(3000, 0);
  ctx.ApplyRate(enc);
  EXPECT_TRUE(enc.Calls().empty());
  EXPECT_EQ(ctx.bitrateKbps, 3000u);
}

TEST_F(ContextTest, FrameRateLimitPacesTheLoopOnly) {
  test::TempDir dir;
  test::LogCapture log(dir.Path() + L"\\fps.log");
  fb.ResetRate(20000, false);
  test::FakeRateEncoder enc(1280, 20000, 60);
  fb.SetLimits(0, 30);
  ctx.ApplyRate(enc);
  EXPECT_EQ(ctx.fps, 30u);
  EXPECT_EQ(ctx.bitrateKbps, 20000u);
  EXPECT_TRUE(enc.Calls().empty());
  EXPECT_NE(log.Text().find("[peer] frame rate -> 30 fps"), std::string::npos);
}

TEST_F(ContextTest, SendFrameSendsConfigThenFrameAndRecordsIt) {
  fb.ResetRate(20000, false);
  test::FakeRateEncoder enc(1280, 20000, 60);
  ASSERT_TRUE(ctx.SendFrame(enc.Next(5000, true), enc));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, proto::MsgType::CodecConfig);
  EXPECT_EQ(sent[0].payload, enc.SequenceHeader());
  EXPECT_EQ(sent[1].type, proto::MsgType::VideoFrame);
  EXPECT_EQ(fb.FramesInFlight(), 1);
  EXPECT_EQ(fb.Rate().sentFrames, 1u);
  // The device's acknowledgement of stamp 5000 matches the record.
  clock.Advance(20 * kMs);
  fb.OnFrameAck(5000);
  EXPECT_EQ(fb.Rate().delaySamples, 1u);
  EXPECT_EQ(fb.Rate().deliveredBytes, sent[1].payload.size());
}

TEST_F(ContextTest, FailedSendDropsTheRest) {
  fb.ResetRate(20000, false);
  test::FakeRateEncoder enc(1280, 20000, 60);
  sendOk = false;
  EXPECT_FALSE(ctx.SendFrame(enc.Next(1, true), enc));
  EXPECT_EQ(sent.size(), 1u);  // the codec configuration only
  EXPECT_EQ(fb.FramesInFlight(), 0);
  EXPECT_TRUE(ctx.SendFrame(EncodedFrame{{1, 2, 3}, 2, false}, enc));  // nothing to send
}

TEST_F(ContextTest, HevcFramesUseTheHevcRules) {
  fb.ResetRate(20000, false);
  ctx.hevc = true;
  test::FakeRateEncoder enc(1280, 20000, 60);
  // Header byte 0x2A is HEVC type 21 (CRA): key although the encoder did not say so.
  EncodedFrame f{{0, 0, 1, 0x2A, 0x01, 0x55}, 9, false};
  ASSERT_TRUE(ctx.SendFrame(f, enc));
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].payload.at(8), 1);
}

}  // namespace
}  // namespace kelm
