// The video thread in real sessions: the device test client connects over loopback and
// receives the stream of the real capture and Media Foundation encoder; the received
// Annex-B stream is written out for the native decoder check.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "core/session_parts.h"
#include "core/text.h"
#include "bars_window.h"
#include "d3d_test_device.h"
#include "display_test_support.h"
#include "fake_driver.h"
#include "media/display_enum.h"
#include "media/session_display.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"
#include "scripted_pipeline.h"
#include "session_harness.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::BarsWindow;
using test::Bytes;

constexpr uint8_t kVideoFormat = 5, kCursorShape = 6, kCursorPosition = 7, kCodecConfig = 3, kVideoFrame = 4;
constexpr uint8_t kFrameAck = 22, kPing = 30, kPong = 31, kLimits = 21, kStreamSize = 27, kPause = 32;
constexpr uint8_t kBye = 40, kError = 41;

uint16_t U16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
int32_t I32(const Bytes& b, size_t at) {
  return static_cast<int32_t>(uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
                              uint32_t{b[at + 3]} << 24);
}
uint64_t U64(const Bytes& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | b[at + static_cast<size_t>(i)];
  return v;
}
Bytes Le(uint64_t v, int bytes) {
  Bytes out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct Record {
  uint64_t ms;  // since the Welcome
  uint8_t type;
  Bytes payload;
};

// Reads the host's records until the connection closes, acknowledging every frame, while
// `script` runs on a thread of its own (it must end with a Bye or expect the host to end).
// What the script can wait for while the stream runs.
struct Progress {
  std::atomic<int> frames{0};
  std::atomic<int> keyFrames{0};
  std::atomic<int> formats{0};

  // Waits until `done` holds, at most `limitMs`; software encoders hold frames back for
  // a while, longer on a busy machine, so steps wait for frames rather than for time.
  static bool WaitFor(const std::function<bool()>& done, uint32_t limitMs = 60000) {
    const uint64_t until = NowMicros() + uint64_t{limitMs} * 1000;
    while (!done()) {
      if (NowMicros() > until) return false;
      Sleep(20);
    }
    return true;
  }
};

std::vector<Record> Stream(test::SessionHarness& h, std::function<void()> script,
                           std::atomic<bool>* ended = nullptr, Progress* progress = nullptr) {
  std::vector<Record> seen;
  const uint64_t start = NowMicros();
  std::thread driver(std::move(script));
  uint8_t type = 0;
  Bytes payload;
  while (h.Read(type, payload)) {
    seen.push_back({(NowMicros() - start) / 1000, type, payload});
    if (type == kVideoFrame && payload.size() >= 9) {
      h.Send(kFrameAck, Bytes(payload.begin(), payload.begin() + 8));
      if (progress) {
        if (payload[8] & 1) ++progress->keyFrames;
        ++progress->frames;
      }
    }
    if (type == kVideoFormat && progress) ++progress->formats;
  }
  if (ended) *ended = true;
  driver.join();
  return seen;
}

std::vector<Record> OfType(const std::vector<Record>& all, uint8_t type) {
  std::vector<Record> out;
  for (const Record& r : all) {
    if (r.type == type) out.push_back(r);
  }
  return out;
}

// The received stream as one Annex-B file (at TAVRO_ANNEXB_OUT when the decoder check
// asked for it), with a note of what the decoder must find.
void WriteAnnexB(const std::vector<Record>& all, const test::TempDir& dir) {
  Bytes annexB;
  int frames = 0;
  uint16_t width = 0, height = 0;
  for (const Record& r : all) {
    if (r.type == kCodecConfig) annexB.insert(annexB.end(), r.payload.begin(), r.payload.end());
    if (r.type == kVideoFrame) {
      annexB.insert(annexB.end(), r.payload.begin() + 9, r.payload.end());
      ++frames;
    }
    if (r.type == kVideoFormat) {
      width = U16(r.payload, 0);
      height = U16(r.payload, 2);
    }
  }
  const char* target = std::getenv("TAVRO_ANNEXB_OUT");
  const std::string path = target != nullptr ? target : WideToUtf8(dir.File(L"stream.h264"));
  std::ofstream file(std::filesystem::path(Utf8ToWide(path)), std::ios::binary);
  file.write(reinterpret_cast<const char*>(annexB.data()), static_cast<std::streamsize>(annexB.size()));
  ASSERT_TRUE(file.good());
  std::ofstream meta(std::filesystem::path(Utf8ToWide(path + ".json")));
  meta << "{\"videoFrames\": " << frames << ", \"width\": " << width << ", \"height\": " << height << "}\n";
}

// What every stream starts with: a format, then parameter sets before a key frame, and
// frame stamps that rise in sending order (the encoder makes no B-frames).
void CheckStream(const std::vector<Record>& all) {
  std::string types;
  for (const Record& r : all) types += std::to_string(r.type) + "@" + std::to_string(r.ms) + " ";
  SCOPED_TRACE("received " + types);
  auto format = std::find_if(all.begin(), all.end(), [](const Record& r) { return r.type == kVideoFormat; });
  auto config = std::find_if(all.begin(), all.end(), [](const Record& r) { return r.type == kCodecConfig; });
  auto frame = std::find_if(all.begin(), all.end(), [](const Record& r) { return r.type == kVideoFrame; });
  ASSERT_NE(format, all.end());
  ASSERT_NE(config, all.end());
  ASSERT_NE(frame, all.end());
  EXPECT_LT(format - all.begin(), config - all.begin());
  EXPECT_LT(config - all.begin(), frame - all.begin());
  EXPECT_EQ(frame->payload[8] & 1, 1) << "first frame is not a key frame";
  std::vector<uint64_t> stamps;
  for (const Record& r : OfType(all, kVideoFrame)) stamps.push_back(U64(r.payload, 0));
  EXPECT_EQ(std::adjacent_find(stamps.begin(), stamps.end(), std::greater_equal<uint64_t>()), stamps.end())
      << "frame stamps do not strictly increase";
  EXPECT_GT(stamps.front(), 0u);
}

test::HelloFields MirrorHello() {
  test::HelloFields hello;
  hello.displayMode = 1;
  hello.panelWidth = 1280;
  hello.panelHeight = 800;
  hello.fps = 30;
  return hello;
}

class VideoSession : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mf_.Ok());
    harness_ = std::make_unique<test::SessionHarness>(driver_);
    harness_->parts = DefaultSessionParts();
    harness_->parts.audio = nullptr;
  }
  void TearDown() override { harness_.reset(); }

  // Bye after `ms`, and not before `frames` video frames arrived (at most a minute).
  void ByeAfter(uint64_t ms, int frames = 0) {
    Sleep(static_cast<DWORD>(ms));
    Progress::WaitFor([&] { return progress_.frames >= frames; });
    harness_->Send(kBye, {});
  }

  Progress progress_;

  test::MediaFoundationScope mf_;
  test::TempDir dir_;
  VirtualDisplayDriver driver_{std::make_shared<test::FakeDriver>()};
  std::unique_ptr<test::SessionHarness> harness_;
};

TEST_F(VideoSession, MirrorStreamsTheScreen) {
  BarsWindow bars;
  ASSERT_TRUE(bars.Start());
  const auto w = harness_->Connect(MirrorHello());
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 0) << w->message;
  const auto all = Stream(*harness_, [&] { ByeAfter(4000, 10); }, nullptr, &progress_);
  const uint64_t byeAt = NowMicros();
  harness_->WaitForEnd();
  EXPECT_LT(NowMicros() - byeAt, 3000000u) << "the session did not end promptly";
  const auto formats = OfType(all, kVideoFormat);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].payload, (Bytes{0x00, 0x05, 0xD0, 0x02, 0, 0, 0x80, 0x07, 0x38, 0x04}));
  EXPECT_FALSE(OfType(all, kCursorPosition).empty());
  CheckStream(all);
  WriteAnnexB(all, dir_);
}

TEST_F(VideoSession, HevcRequestFallsBackToH264) {
  test::LogCapture log(dir_.File(L"hevc.log"));
  BarsWindow bars;
  ASSERT_TRUE(bars.Start());
  test::HelloFields hello = MirrorHello();
  hello.flags = 2;
  hello.codecPreference = 1;
  const auto w = harness_->Connect(hello);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 0) << w->message;
  EXPECT_EQ(w->useHevc, 1);
  const auto all = Stream(*harness_, [&] { ByeAfter(4000, 10); }, nullptr, &progress_);
  harness_->WaitForEnd();
  EXPECT_NE(log.Text().find("] HEVC encoder unavailable, using H.264"), std::string::npos);
  const auto formats = OfType(all, kVideoFormat);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].payload[4], 0);
  CheckStream(all);
  WriteAnnexB(all, dir_);
}

TEST_F(VideoSession, StreamSizePauseAndLimits) {
  test::LogCapture log(dir_.File(L"messages.log"));
  BarsWindow bars;
  ASSERT_TRUE(bars.Start());
  const auto w = harness_->Connect(MirrorHello());
  ASSERT_TRUE(w);
  std::atomic<uint64_t> pauseAt{0}, resumeAt{0};
  const uint64_t start = NowMicros();
  // A software encoder may hold frames back, so each step waits for frames to flow.
  Progress& p = progress_;
  const auto all = Stream(
      *harness_,
      [&] {
        Progress::WaitFor([&] { return p.frames >= 5; });
        harness_->Send(kStreamSize, Cat({Le(1600, 2), Le(1000, 2), Le(0, 2), Le(0, 2)}));
        const int before = p.frames;
        Progress::WaitFor([&] { return p.formats >= 2 && p.frames >= before + 5; });
        harness_->Send(kLimits, Cat({Le(3000, 4), Le(0, 2)}));
        Sleep(500);
        pauseAt = (NowMicros() - start) / 1000;
        harness_->Send(kPause, {1});
        for (int i = 0; i < 5; ++i) {
          Sleep(500);
          harness_->Send(kPing, Le(1000 + i, 8));
        }
        const int keys = p.keyFrames;
        resumeAt = (NowMicros() - start) / 1000;
        harness_->Send(kPause, {0});
        Progress::WaitFor([&] { return p.keyFrames > keys; });
        Sleep(200);
        harness_->Send(kBye, {});
      },
      nullptr, &progress_);
  harness_->WaitForEnd();
  // A new format at the new size, then parameter sets and a key frame.
  const auto formats = OfType(all, kVideoFormat);
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_EQ(U16(formats[1].payload, 0), 1600);
  EXPECT_EQ(U16(formats[1].payload, 2), 900);
  auto second = std::find_if(all.begin(), all.end(), [&](const Record& r) { return &r != &*all.begin() &&
      r.type == kVideoFormat && U16(r.payload, 0) == 1600; });
  auto next = std::find_if(second, all.end(), [](const Record& r) {
    return r.type == kCodecConfig || r.type == kVideoFrame;
  });
  ASSERT_NE(next, all.end());
  EXPECT_EQ(next->type, kCodecConfig);
  auto key = std::find_if(next, all.end(), [](const Record& r) { return r.type == kVideoFrame; });
  ASSERT_NE(key, all.end());
  EXPECT_EQ(key->payload[8] & 1, 1);
  // Limits reach the encoder.
  EXPECT_NE(log.Text().find("] bitrate -> 3000 kbps"), std::string::npos);
  // Paused: pongs but no frames; resumed: a key frame first.
  size_t framesPaused = 0, pongsPaused = 0;
  for (const Record& r : all) {
    const bool inPause = r.ms > pauseAt + 150 && r.ms < resumeAt;
    if (inPause && r.type == kVideoFrame) ++framesPaused;
    if (inPause && r.type == kPong) ++pongsPaused;
  }
  EXPECT_EQ(framesPaused, 0u);
  EXPECT_GE(pongsPaused, 4u);
  // (An encoder that cannot force one restarts its stream, so frames it held may come first.)
  auto resumed = std::find_if(all.begin(), all.end(), [&](const Record& r) {
    return r.type == kVideoFrame && r.ms >= resumeAt && (r.payload[8] & 1) == 1;
  });
  EXPECT_NE(resumed, all.end()) << "no key frame after resuming";
}

TEST_F(VideoSession, CursorPositionIsScaledAndSentOnlyOnChange) {
  BarsWindow bars;
  ASSERT_TRUE(bars.Start());
  ASSERT_TRUE(SetCursorPos(960, 540));
  const auto w = harness_->Connect(MirrorHello());
  ASSERT_TRUE(w);
  const auto all = Stream(*harness_, [&] { ByeAfter(2500); });
  harness_->WaitForEnd();
  const auto shapes = OfType(all, kCursorShape);
  ASSERT_FALSE(shapes.empty());
  const int32_t hotX = U16(shapes.back().payload, 4), hotY = U16(shapes.back().payload, 6);
  const auto positions = OfType(all, kCursorPosition);
  ASSERT_EQ(positions.size(), 1u) << "an unmoved pointer sent more";
  EXPECT_EQ(positions[0].payload[0], 1);
  EXPECT_EQ(I32(positions[0].payload, 1), (960 - hotX) * 1280 / 1920);
  EXPECT_EQ(I32(positions[0].payload, 5), (540 - hotY) * 720 / 1080);
}

TEST_F(VideoSession, ExtendStreamsTheVirtualMonitor) {
  test::ScopedRegistryKey registry;
  DISPLAYCONFIG_PATH_INFO path{};
  {
    std::vector<DISPLAYCONFIG_PATH_INFO> paths;
    std::vector<DISPLAYCONFIG_MODE_INFO> modes;
    ASSERT_TRUE(QueryActiveDisplayConfig(paths, modes));
    ASSERT_EQ(paths.size(), 1u);
    path = paths.front();
  }
  auto fake = std::make_shared<test::FakeDriver>();
  fake->MapToPath(path.targetInfo.adapterId, path.targetInfo.id);
  VirtualDisplayDriver driver(fake);
  test::SessionHarness harness(driver);
  harness.parts = DefaultSessionParts();
  harness.parts.audio = nullptr;
  BarsWindow bars;
  ASSERT_TRUE(bars.Start());
  test::HelloFields hello;
  hello.displayMode = 0;
  hello.displayWidth = static_cast<uint16_t>(GetSystemMetrics(SM_CXSCREEN));
  hello.displayHeight = static_cast<uint16_t>(GetSystemMetrics(SM_CYSCREEN));
  hello.fps = 30;
  const auto w = harness.Connect(hello);
  ASSERT_TRUE(w);
  ASSERT_EQ(w->status, 0) << w->message;
  EXPECT_EQ(w->displayMode, 0);
  Progress progress;
  const auto all = Stream(
      harness,
      [&] {
        Sleep(4000);
        Progress::WaitFor([&] { return progress.frames >= 10; });
        harness.Send(kBye, {});
      },
      nullptr, &progress);
  harness.WaitForEnd();
  const auto formats = OfType(all, kVideoFormat);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(U16(formats[0].payload, 0), hello.displayWidth);
  EXPECT_EQ(U16(formats[0].payload, 2), hello.displayHeight);
  CheckStream(all);
  WriteAnnexB(all, dir_);
}

// A video thread whose encoder never opens: message 41 after the start deadline, then
// the session ends by itself.
TEST_F(VideoSession, EncoderThatNeverOpensEndsTheSession) {
  auto clock = std::make_shared<test::TestClock>(true);
  auto record = std::make_shared<test::EncoderRecord>();
  harness_->parts.display = nullptr;
  harness_->parts.video = [clock, record](StreamContext& context) {
    VideoThread thread;
    thread.Start([&context, clock, record](std::stop_token stop) {
      PipelineIo io;
      io.capture = std::make_unique<test::ScriptedCapture>(*clock);
      auto encoder = std::make_unique<test::CountingEncoder>(*clock, record);
      encoder->neverOpens = true;
      io.encoder = std::move(encoder);
      VideoPipeline::ThreadMain(context, std::move(io), std::move(stop));
    });
    return thread;
  };
  const auto w = harness_->Connect(MirrorHello());
  ASSERT_TRUE(w);
  const uint64_t start = NowMicros();
  // Keeps the session alive meanwhile, as a device does.
  std::atomic<bool> stop{false};
  const auto all = Stream(
      *harness_,
      [&] {
        for (int i = 0; i < 150 && !stop; ++i) {
          Sleep(100);
          if (i % 5 == 4 && !harness_->Send(kPing, Le(i, 8))) break;
        }
      },
      &stop);
  const uint64_t endedAfter = NowMicros() - start;
  harness_->WaitForEnd();
  const auto errors = OfType(all, kError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(std::string(errors[0].payload.begin() + 2, errors[0].payload.end()),
            "The host could not capture or encode the display.");
  EXPECT_GE(errors[0].ms, 9500u);
  EXPECT_LE(errors[0].ms, 10500u);
  EXPECT_LT(endedAfter, 12000000u);
  EXPECT_TRUE(OfType(all, kVideoFrame).empty());
}

}  // namespace
}  // namespace kelm
