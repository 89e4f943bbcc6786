// The lock-screen stream in real sessions: the device test client connects over loopback,
// the fake lock agent serves colour bars on a pipe of this test's own, and "the PC" is
// locked through this program's own stand-in key. The lock stream's Annex-B part is
// written out for the native decoder check.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "core/session_parts.h"
#include "core/text.h"
#include "d3d_test_device.h"
#include "device_recorder.h"
#include "fake_driver.h"
#include "media/lock_screen_stream.h"
#include "media/session_lock.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"
#include "session_harness.h"
#include "support/fake_lock_agent.h"
#include "support/input_payloads.h"
#include "support/lock_state.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_pipe.h"
#include "support/wait_until.h"

namespace kelm {
namespace {

using test::Bytes;
using test::CountType;
using test::DeviceRecorder;
using test::NthOfType;
using test::Record;
using test::VideoFormatBytes;

constexpr uint8_t kCodecConfig = 3, kVideoFrame = 4, kVideoFormat = 5, kCursorPosition = 7, kDeviceKeyboard = 8;
constexpr uint8_t kTouch = 11, kKey = 12, kText = 13, kBye = 40;

uint64_t NowMs() { return NowMicros() / 1000; }
test::HelloFields MirrorHello() {
  test::HelloFields hello;
  hello.displayMode = 1;
  hello.panelWidth = 1280;
  hello.panelHeight = 800;
  hello.fps = 30;
  return hello;
}

// Fails the open of the lock encoder the first time only.
class FailFirstOpen final : public PipelineEncoder {
 public:
  explicit FailFirstOpen(std::unique_ptr<PipelineEncoder> real) : real_(std::move(real)) {}
  bool Open(ID3D11Device* device, int64_t luid, uint32_t w, uint32_t h, DisplayRotation rotation,
            const VideoEncoder::Config& config) override {
    if (!failed_) {
      failed_ = true;
      return false;
    }
    return real_->Open(device, luid, w, h, rotation, config);
  }
  bool Encode(ID3D11Texture2D* frame, int64_t t, bool key, std::vector<EncodedFrame>& out) override {
    return real_->Encode(frame, t, key, out);
  }
  void SetBitrate(uint32_t kbps) override { real_->SetBitrate(kbps); }
  std::vector<uint8_t> SequenceHeader() const override { return real_->SequenceHeader(); }
  void Close() override { real_->Close(); }
  uint32_t Width() const override { return real_->Width(); }

 private:
  std::unique_ptr<PipelineEncoder> real_;
  bool failed_ = false;
};

class LockScreenSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mf_.Ok());
    lockParts_.client.pipeName = pipeName_;
    harness_ = std::make_unique<test::SessionHarness>(driver_);
    harness_->parts = DefaultSessionParts();
    harness_->parts.audio = nullptr;
    harness_->parts.video = [this](StreamContext& context) {
      VideoThread thread;
      thread.Start([this, &context](std::stop_token stop) {
        PipelineIo io;
        io.lockScreen = LockScreenHooks(context, lockParts_);
        VideoPipeline::ThreadMain(context, std::move(io), std::move(stop));
      });
      return thread;
    };
  }
  void TearDown() override {
    recorder_.reset();
    harness_.reset();
  }

  bool StartAgent(test::FakeLockAgent::Options options = {}) {
    options.pipeName = pipeName_;
    return agent_.Start(options);
  }
  void Connect(test::HelloFields hello = MirrorHello()) {
    const auto w = harness_->Connect(hello);
    ASSERT_TRUE(w);
    ASSERT_EQ(w->status, 0) << w->message;
    recorder_ = std::make_unique<DeviceRecorder>(
        [h = harness_.get()](uint8_t& type, Bytes& payload) { return h->Read(type, payload); },
        [h = harness_.get()](uint8_t type, const Bytes& payload) { return h->Send(type, payload); });
  }
  // Waits for a log line (at `level`, holding `what`) to appear `count` times; the time
  // it was seen, or 0.
  uint64_t WaitForLog(const std::string& level, const std::string& what, uint32_t limitMs, size_t count = 1) {
    const uint64_t until = NowMs() + limitMs;
    while (NowMs() < until) {
      if (test::LogLines(log_.Text(), level, what) >= count) return NowMs();
      Sleep(10);
    }
    return 0;
  }
  bool WaitForFormats(size_t n, uint32_t limitMs) {
    return recorder_->WaitFor([n](const std::vector<Record>& all) { return CountType(all, kVideoFormat) >= n; },
                              limitMs);
  }
  bool WaitForFramesAfterFormat(size_t format, size_t frames, uint32_t limitMs) {
    return recorder_->WaitFor(
        [=](const std::vector<Record>& all) {
          const size_t at = NthOfType(all, kVideoFormat, format);
          return at < all.size() && CountType(all, kVideoFrame, at) >= frames;
        },
        limitMs);
  }
  // Sends Bye and waits for the session's threads; how long that took.
  uint64_t ByeAndEnd() {
    const uint64_t byeAt = NowMs();
    harness_->Send(kBye, {});
    harness_->WaitForEnd();
    const uint64_t took = NowMs() - byeAt;
    recorder_->Join();
    return took;
  }

  test::MediaFoundationScope mf_;
  test::TempDir dir_;
  test::LogCapture log_{dir_.File(L"session.log")};
  test::TestLockState lockState_;
  const std::wstring pipeName_ = test::UniqueTestPipeName();
  LockScreenStreamParts lockParts_;
  test::FakeLockAgent agent_;
  VirtualDisplayDriver driver_{std::make_shared<test::FakeDriver>()};
  std::unique_ptr<test::SessionHarness> harness_;
  std::unique_ptr<DeviceRecorder> recorder_;
};

TEST_F(LockScreenSession, LockShowsTheAgentsScreenAndUnlockBringsTheDesktopBack) {
  ASSERT_TRUE(StartAgent());
  Connect();
  ASSERT_TRUE(WaitForFormats(1, 60000)) << "no desktop stream";
  ASSERT_TRUE(WaitForFramesAfterFormat(1, 1, 60000));

  const uint64_t lockedAt = NowMs();
  ASSERT_TRUE(lockState_.Lock(OwnSessionId()));
  const uint64_t lockSeen = WaitForLog("INFO", "] the PC is locked", 5000);
  ASSERT_NE(lockSeen, 0u) << log_.Text();
  EXPECT_LE(lockSeen - lockedAt, 1000u);
  EXPECT_NE(WaitForLog("INFO", "] showing the lock screen", 5000), 0u) << log_.Text();
  ASSERT_TRUE(WaitForFormats(2, 10000));
  ASSERT_TRUE(WaitForFramesAfterFormat(2, 15, 60000)) << "no lock-screen frames";

  // Device input reaches the agent as exact type 2 bodies; a press opens the keyboard.
  const Bytes key = test::KeyPayload(0x41, true, false);
  const Bytes text = test::TextPayload("p\xC3\xA4ss");
  const Bytes touch = test::TouchPayload({{3, 1, 0.5f, 0.5f}});
  harness_->Send(kKey, key);
  harness_->Send(kText, text);
  const size_t keyboardBefore = recorder_->Count(kDeviceKeyboard);
  harness_->Send(kTouch, touch);
  ASSERT_TRUE(test::WaitUntil([&] { return agent_.Inputs().size() >= 3; }, std::chrono::seconds(5)));
  const auto inputs = agent_.Inputs();
  Bytes keyBody{kKey}, textBody{kText}, touchBody{kTouch};
  keyBody.insert(keyBody.end(), key.begin(), key.end());
  textBody.insert(textBody.end(), text.begin(), text.end());
  touchBody.insert(touchBody.end(), touch.begin(), touch.end());
  EXPECT_EQ(inputs[0], keyBody);
  EXPECT_EQ(inputs[1], textBody);
  EXPECT_EQ(inputs[2], touchBody);
  EXPECT_TRUE(recorder_->WaitFor(
      [&](const std::vector<Record>& all) {
        return std::any_of(all.begin(), all.end(), [](const Record& r) {
          return r.type == kDeviceKeyboard && r.payload == Bytes{1};
        });
      },
      3000))
      << "keyboard messages before the press: " << keyboardBefore;

  // The agent goes away and comes back.
  agent_.Disconnect();
  EXPECT_NE(WaitForLog("WARN", "] lock screen helper disconnected", 3000), 0u) << log_.Text();
  const uint64_t disconnectSeen = NowMs();
  const uint64_t again = WaitForLog("INFO", "] showing the lock screen", 3000, 2);
  ASSERT_NE(again, 0u) << log_.Text();
  EXPECT_LE(again - disconnectSeen, 600u);
  EXPECT_TRUE(WaitForFormats(3, 10000)) << "no new VideoFormat after the agent came back";

  const uint64_t unlockedAt = NowMs();
  ASSERT_TRUE(lockState_.Unlock());
  EXPECT_NE(WaitForLog("INFO", "] the PC was unlocked", 3000), 0u) << log_.Text();
  ASSERT_TRUE(WaitForFormats(4, 3000));
  const auto all = recorder_->All();
  EXPECT_LE(all[NthOfType(all, kVideoFormat, 4)].ms - unlockedAt, 2000u);
  ByeAndEnd();

  const auto records = recorder_->All();
  const size_t lockFormat = NthOfType(records, kVideoFormat, 2);
  ASSERT_LT(lockFormat + 1, records.size());
  EXPECT_EQ(records[lockFormat].payload, VideoFormatBytes(1280, 720, 0, 1920, 1080));
  EXPECT_EQ(records[lockFormat + 1].type, kCursorPosition);
  EXPECT_EQ(records[lockFormat + 1].payload, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0}));
  size_t firstFrame = lockFormat;
  while (firstFrame < records.size() && records[firstFrame].type != kVideoFrame) ++firstFrame;
  ASSERT_LT(firstFrame, records.size());
  EXPECT_EQ(records[firstFrame].payload[8] & 1, 1) << "the lock stream does not start with a key frame";
  EXPECT_EQ(records[NthOfType(records, kVideoFormat, 3)].payload, VideoFormatBytes(1280, 720, 0, 1920, 1080));
  // The desktop stream again, as it was before the lock.
  EXPECT_EQ(records[NthOfType(records, kVideoFormat, 4)].payload, records[NthOfType(records, kVideoFormat, 1)].payload);
  EXPECT_TRUE(test::WriteAnnexBStretch(records, lockFormat, dir_.File(L"lock.h264")));
}

TEST_F(LockScreenSession, WithoutTheAgentOneWarningAfterFiveSecondsAndNoVideo) {
  Connect();
  ASSERT_TRUE(WaitForFormats(1, 60000));
  ASSERT_TRUE(WaitForFramesAfterFormat(1, 1, 60000));
  const uint64_t lockedAt = NowMs();
  ASSERT_TRUE(lockState_.Lock(OwnSessionId()));
  ASSERT_NE(WaitForLog("INFO", "] the PC is locked", 5000), 0u);
  // Frames encoded before the lock may still be on their way.
  Sleep(300);
  const size_t seenBefore = recorder_->All().size();
  const std::string warning = "] can't show the lock screen: the tavro Lock Screen Helper service isn't running";
  const uint64_t warned = WaitForLog("WARN", warning, 8000);
  ASSERT_NE(warned, 0u) << log_.Text();
  EXPECT_GE(warned - lockedAt, 4500u);
  EXPECT_LE(warned - lockedAt, 5500u);
  Sleep(2000);
  EXPECT_EQ(test::LogLines(log_.Text(), "WARN", warning), 1u);
  const auto during = recorder_->All();
  for (size_t i = seenBefore; i < during.size(); ++i) {
    EXPECT_TRUE(during[i].type != kVideoFormat && during[i].type != kVideoFrame && during[i].type != kCursorPosition &&
                during[i].type != kCodecConfig)
        << "message " << int{during[i].type} << " while locked without the agent";
  }
  ASSERT_TRUE(lockState_.Unlock());
  EXPECT_TRUE(WaitForFormats(2, 3000)) << log_.Text();
  ByeAndEnd();
}

TEST_F(LockScreenSession, HevcDeviceLockedAtStartGetsAnH264LockStream) {
  ASSERT_TRUE(StartAgent());
  ASSERT_TRUE(lockState_.Lock(OwnSessionId()));
  test::HelloFields hello = MirrorHello();
  hello.flags = 2;
  hello.codecPreference = 1;
  Connect(hello);
  ASSERT_TRUE(WaitForFormats(1, 20000)) << log_.Text();
  const auto all = recorder_->All();
  EXPECT_EQ(all[NthOfType(all, kVideoFormat, 1)].payload, VideoFormatBytes(1280, 720, 0, 1920, 1080));
  EXPECT_EQ(test::LogLines(log_.Text(), "WARN", "] HEVC encoder unavailable, using H.264"), 1u) << log_.Text();
  EXPECT_TRUE(WaitForFramesAfterFormat(1, 3, 60000));
  ByeAndEnd();
}

TEST_F(LockScreenSession, EncoderFailingOnceIsRetriedWhileLocked) {
  lockParts_.makeEncoder = [] { return std::make_unique<FailFirstOpen>(MakeMediaFoundationEncoder()); };
  ASSERT_TRUE(StartAgent());
  ASSERT_TRUE(lockState_.Lock(OwnSessionId()));
  Connect();
  const uint64_t failed = WaitForLog("ERROR", "] lock screen: encoder failed", 10000);
  ASSERT_NE(failed, 0u) << log_.Text();
  ASSERT_TRUE(WaitForFormats(1, 5000)) << log_.Text();
  const auto all = recorder_->All();
  EXPECT_LE(all[NthOfType(all, kVideoFormat, 1)].ms - failed, 2000u);
  EXPECT_TRUE(WaitForFramesAfterFormat(1, 3, 60000));
  EXPECT_EQ(test::LogLines(log_.Text(), "ERROR", "lock screen"), 1u) << log_.Text();
  EXPECT_EQ(test::LogLines(log_.Text(), "INFO", "the PC was unlocked"), 0u) << "the PC is still locked";
  ByeAndEnd();
}

// The session's threads end promptly while the lock stream runs against an agent that
// says nothing, or one that no longer reads what the host writes.
class LockScreenSessionEnd : public LockScreenSession, public ::testing::WithParamInterface<bool> {};

TEST_P(LockScreenSessionEnd, ByeEndsTheSessionWithinOneSecond) {
  const bool reading = GetParam();
  test::FakeLockAgent::Options options;
  options.silent = true;
  options.reading = reading;
  ASSERT_TRUE(StartAgent(options));
  ASSERT_TRUE(lockState_.Lock(OwnSessionId()));
  Connect();
  ASSERT_NE(WaitForLog("INFO", "] showing the lock screen", 10000), 0u) << log_.Text();
  if (!reading) {
    // More input than the pipe holds: the host's writes wait on the agent.
    const Bytes text(4000, 'x');
    for (int i = 0; i < 40; ++i) harness_->Send(kText, text);
    Sleep(300);
  }
  EXPECT_LE(ByeAndEnd(), 1000u);
}

TEST_P(LockScreenSessionEnd, StopEndsTheSessionWithinOneSecond) {
  test::FakeLockAgent::Options options;
  options.silent = true;
  options.reading = GetParam();
  ASSERT_TRUE(StartAgent(options));
  ASSERT_TRUE(lockState_.Lock(OwnSessionId()));
  Connect();
  ASSERT_NE(WaitForLog("INFO", "] showing the lock screen", 10000), 0u) << log_.Text();
  const uint64_t stopAt = NowMs();
  harness_->session->Stop();
  harness_->WaitForEnd();
  EXPECT_LE(NowMs() - stopAt, 1000u);
  recorder_->Join();
}

INSTANTIATE_TEST_SUITE_P(Agent, LockScreenSessionEnd, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Silent" : "NotReading"; });

}  // namespace
}  // namespace kelm
