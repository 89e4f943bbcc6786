// The Media Foundation encoder as installed here, and with a scripted asynchronous
// "hardware" transform in front of it.
#include "media/video_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/text.h"
#include "d3d_test_device.h"
#include "fake_async_mft.h"
#include "media/annexb.h"
#include "media/stream_context.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::Rgb8;

constexpr uint32_t kFps = 30;
constexpr int64_t kFrameMicros = 1000000 / kFps;
// Frames a software encoder may hold before its first output (x264enc with its defaults
// holds about 55).
constexpr int kWarmUpFrames = 70;

bool HasUnit(const std::vector<uint8_t>& bytes, uint8_t type) {
  for (const auto& u : ScanAnnexB(bytes, proto::VideoCodec::H264)) {
    if (u.type == type) return true;
  }
  return false;
}

class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(mf.Ok());
    device = test::MakeD3DDevice();
    ASSERT_TRUE(device) << "no Direct3D 11 device";
  }
  test::MediaFoundationScope mf;
  ComPtr<ID3D11Device> device;
  test::TempDir dir;
};

// Fails loudly when the machine cannot encode H.264 at all, so every other encoder
// test failing for that reason has one clear cause at the top.
TEST_F(EncoderTest, SoftwareH264EncoderCanBeActivated) {
  const auto candidates = SystemEncoderCandidates(false, proto::VideoCodec::H264);
  ASSERT_FALSE(candidates.empty())
      << "No H.264 encoder transform is registered. Under Wine the encoder needs GStreamer's "
         "plugins: gstreamer1.0-plugins-base, -good and -ugly in the toolchain root.";
  ComPtr<IMFTransform> transform;
  const HRESULT hr = candidates[0].activate(&transform);
  ASSERT_TRUE(SUCCEEDED(hr) && transform) << "Activating the H.264 encoder failed: " << ErrorText(hr)
                                          << " (GStreamer plugins missing?)";
}

TEST_F(EncoderTest, OddSizeEncodesTheEvenSizeBelow) {
  test::BgraPicture pic(device.Get(), 1367, 769);
  ASSERT_TRUE(pic.Ok());
  pic.Paint([](uint32_t x, uint32_t y) { return Rgb8{uint8_t(x), uint8_t(y), 90}; });
  VideoEncoder enc;
  ASSERT_TRUE(enc.Open(device.Get(), 0, 1367, 769, DisplayRotation::Identity, {1367, 769, kFps, 4000, proto::VideoCodec::H264}));
  EXPECT_EQ(enc.Width(), 1366u);
  EXPECT_EQ(enc.Height(), 768u);
  std::vector<EncodedFrame> out;
  for (int i = 0; i < kWarmUpFrames && out.empty(); ++i) ASSERT_TRUE(enc.Encode(pic.Texture(), i * kFrameMicros, i == 0, out));
  ASSERT_FALSE(out.empty());
  EXPECT_TRUE(out[0].keyFrame);
  EXPECT_EQ(out[0].timeMicros, 0);
}

// Five bars (white, red, green, blue, black) moving 8 pixels a frame.
constexpr Rgb8 kBars[] = {{255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 0, 0}};
constexpr uint32_t kBarShift = 8;

TEST_F(EncoderTest, ColourBarsThroughThePacketiser) {
  constexpr uint32_t kSourceWidth = 1367, kSourceHeight = 769;
  constexpr int kFrames = 90;
  test::BgraPicture pic(device.Get(), kSourceWidth, kSourceHeight);
  ASSERT_TRUE(pic.Ok());
  VideoEncoder enc;
  ASSERT_TRUE(enc.Open(device.Get(), 0, kSourceWidth, kSourceHeight, DisplayRotation::Identity, {kSourceWidth, kSourceHeight, kFps, 8000, proto::VideoCodec::H264}));

  StreamFeedback feedback;
  feedback.ResetRate(8000, false);
  StreamSetup setup;
  setup.label = "bars";
  setup.feedback = &feedback;
  setup.fps = kFps;
  std::vector<msg::Message> sent;
  setup.send = [&](const msg::Message& m) {
    sent.push_back(m);
    return true;
  };
  StreamContext ctx(std::move(setup));
  for (int i = 0; i < kFrames; ++i) {
    pic.Paint([i](uint32_t x, uint32_t) { return kBars[((x + i * kBarShift) % kSourceWidth) * 5 / kSourceWidth]; });
    std::vector<EncodedFrame> out;
    ASSERT_TRUE(enc.Encode(pic.Texture(), i * kFrameMicros, i == 0, out)) << i;
    for (const auto& f : out) ASSERT_TRUE(ctx.SendFrame(f, enc));
  }

  ASSERT_GE(sent.size(), 2u);
  ASSERT_EQ(sent[0].type, proto::MsgType::CodecConfig);
  EXPECT_TRUE(HasUnit(sent[0].payload, 7)) << "no SPS";
  EXPECT_TRUE(HasUnit(sent[0].payload, 8)) << "no PPS";
  ASSERT_EQ(sent[1].type, proto::MsgType::VideoFrame);
  EXPECT_EQ(sent[1].payload[8], 1) << "first frame not key";

  // The stream as a decoder sees it, and what a checker needs to know about it.
  std::vector<uint8_t> annexB;
  std::string stamps;
  int videoFrames = 0;
  for (const auto& m : sent) {
    if (m.type == proto::MsgType::CodecConfig) {
      annexB.insert(annexB.end(), m.payload.begin(), m.payload.end());
    } else if (m.type == proto::MsgType::VideoFrame) {
      ASSERT_GT(m.payload.size(), 9u);
      EXPECT_FALSE(HasUnit(std::vector<uint8_t>(m.payload.begin() + 9, m.payload.end()), 9)) << "delimiter sent";
      annexB.insert(annexB.end(), m.payload.begin() + 9, m.payload.end());
      uint64_t stamp = 0;
      for (int b = 7; b >= 0; --b) stamp = stamp << 8 | m.payload[b];
      stamps += (videoFrames++ ? "," : "") + std::to_string(stamp);
    }
  }
  ASSERT_GT(videoFrames, 0);
  const char* target = std::getenv("TAVRO_ANNEXB_OUT");
  const std::string path = target != nullptr ? target : WideToUtf8(dir.File(L"bars.h264"));
  {
    std::ofstream file(std::filesystem::path(Utf8ToWide(path)), std::ios::binary);
    file.write(reinterpret_cast<const char*>(annexB.data()), static_cast<std::streamsize>(annexB.size()));
    ASSERT_TRUE(file.good());
  }
  std::ofstream meta(std::filesystem::path(Utf8ToWide(path + ".json")));
  meta << "{\"width\":" << enc.Width() << ",\"height\":" << enc.Height() << ",\"sourceWidth\":" << kSourceWidth
       << ",\"fps\":" << kFps << ",\"shift\":" << kBarShift << ",\"videoFrames\":" << videoFrames
       << ",\"stamps\":[" << stamps << "]}";
  ASSERT_TRUE(meta.good());
}

TEST_F(EncoderTest, ForcedKeyFrameComesOutAsCleanPoint) {
  test::BgraPicture pic(device.Get(), 320, 240);
  ASSERT_TRUE(pic.Ok());
  VideoEncoder enc;
  ASSERT_TRUE(enc.Open(device.Get(), 0, 320, 240, DisplayRotation::Identity, {320, 240, kFps, 2000, proto::VideoCodec::H264}));
  constexpr int kForcedAt = kWarmUpFrames + 10;
  std::vector<EncodedFrame> out;
  for (int i = 0; i < kForcedAt + kWarmUpFrames + 20; ++i) {
    pic.Paint([i](uint32_t x, uint32_t y) { return Rgb8{uint8_t(x + i), uint8_t(y * 3 + i), uint8_t(x ^ y)}; });
    ASSERT_TRUE(enc.Encode(pic.Texture(), i * kFrameMicros, i == 0 || i == kForcedAt, out)) << i;
  }
  bool found = false;
  for (const auto& f : out) {
    if (f.timeMicros != kForcedAt * kFrameMicros) continue;
    found = true;
    EXPECT_TRUE(f.keyFrame);
    EXPECT_TRUE(HasUnit(f.data, 5)) << "no IDR slice";
  }
  EXPECT_TRUE(found) << "the forced frame never came out";
  // Nothing lost or repeated: the outputs (in decoding order) are the first inputs,
  // save a few pictures the encoder still holds back for reordering at the end.
  std::vector<int64_t> times;
  for (const auto& f : out) times.push_back(f.timeMicros);
  std::sort(times.begin(), times.end());
  EXPECT_TRUE(std::adjacent_find(times.begin(), times.end()) == times.end()) << "a frame came out twice";
  ASSERT_GT(times.size(), 8u);
  for (size_t k = 0; k + 4 < times.size(); ++k) EXPECT_EQ(times[k], static_cast<int64_t>(k) * kFrameMicros) << k;
}

TEST_F(EncoderTest, HevcFailsCleanlyAndH264OpensAfterwards) {
  VideoEncoder enc;
  EXPECT_FALSE(enc.Open(device.Get(), 0, 320, 240, DisplayRotation::Identity, {320, 240, kFps, 2000, proto::VideoCodec::Hevc}));
  EXPECT_EQ(enc.Width(), 0u);
  ASSERT_TRUE(enc.Open(device.Get(), 0, 320, 240, DisplayRotation::Identity, {320, 240, kFps, 2000, proto::VideoCodec::H264}));
  EXPECT_FALSE(enc.Hardware());
  EXPECT_FALSE(enc.Async());
  test::BgraPicture pic(device.Get(), 320, 240);
  std::vector<EncodedFrame> out;
  for (int i = 0; i < kWarmUpFrames && out.empty(); ++i) ASSERT_TRUE(enc.Encode(pic.Texture(), i * kFrameMicros, false, out));
  EXPECT_FALSE(out.empty());
}

TEST_F(EncoderTest, SetBitrateWithoutEncoderOnlyStoresIt) {
  VideoEncoder enc;
  enc.SetBitrate(5000);
  EXPECT_EQ(enc.BitrateKbps(), 5000u);
  EXPECT_EQ(enc.Width(), 0u);
  EXPECT_TRUE(enc.SequenceHeader().empty());
  ASSERT_TRUE(enc.Open(device.Get(), 0, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  EXPECT_EQ(enc.BitrateKbps(), 3000u);
  enc.Close();
  EXPECT_EQ(enc.Width(), 0u);
  std::vector<EncodedFrame> out;
  test::BgraPicture pic(device.Get(), 64, 64);
  EXPECT_FALSE(enc.Encode(pic.Texture(), 0, false, out));
}

TEST_F(EncoderTest, RefusesFramesOfAnotherSizeAndBadSettings) {
  VideoEncoder enc;
  EXPECT_FALSE(enc.Open(device.Get(), 0, 64, 64, DisplayRotation::Identity, {1, 1, kFps, 3000, proto::VideoCodec::H264}));
  EXPECT_FALSE(enc.Open(nullptr, 0, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  EXPECT_FALSE(enc.Open(device.Get(), 0, 64, 64, static_cast<DisplayRotation>(7), {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  ASSERT_TRUE(enc.Open(device.Get(), 0, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  test::BgraPicture other(device.Get(), 96, 64);
  std::vector<EncodedFrame> out;
  EXPECT_FALSE(enc.Encode(other.Texture(), 0, false, out));
  EXPECT_FALSE(enc.Encode(nullptr, 0, false, out));
}

// --- A scripted asynchronous "hardware" encoder in front of the system's software one.

class FakeHardwareTest : public EncoderTest {
 protected:
  static constexpr int64_t kLuid = 0x1234;
  test::FakeMftScript script;
  test::FakeMftRecord record;
  int hardwareOffers = 0;

  void UseFake(VideoEncoder& enc) {
    enc.SetCandidateSource([this](bool hardware, proto::VideoCodec codec) {
      if (!hardware) return SystemEncoderCandidates(false, codec);
      ++hardwareOffers;
      EncoderCandidate c;
      c.name = "Fake hardware encoder";
      c.adapterLuid = kLuid;
      c.activate = [this](IMFTransform** t) { return test::FakeAsyncMft::Create(script, &record, t); };
      return std::vector<EncoderCandidate>{c};
    });
  }
};

TEST_F(FakeHardwareTest, NeedInputHaveOutputFlow) {
  test::LogCapture log(dir.File(L"flow.log"));
  VideoEncoder enc;
  UseFake(enc);
  ASSERT_TRUE(enc.Open(device.Get(), kLuid, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  EXPECT_TRUE(enc.Hardware());
  EXPECT_TRUE(enc.Async());
  EXPECT_TRUE(enc.GpuInput());
  EXPECT_TRUE(record.unlocked);
  EXPECT_TRUE(record.managerSet);
  test::BgraPicture pic(device.Get(), 64, 64);
  std::vector<EncodedFrame> out;
  for (int i = 0; i < 10; ++i) {
    ASSERT_TRUE(enc.Encode(pic.Texture(), 5000 + i * kFrameMicros, false, out)) << i;
    ASSERT_EQ(out.size(), static_cast<size_t>(i + 1)) << "output of frame " << i << " not collected";
  }
  EXPECT_TRUE(out[0].keyFrame);
  EXPECT_FALSE(out[1].keyFrame);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i].timeMicros, 5000 + i * kFrameMicros);
  EXPECT_EQ(record.inputs, 10);
  EXPECT_NE(log.Text().find("Using hardware encoder: Fake hardware encoder"), std::string::npos);
  enc.Close();
  EXPECT_TRUE(record.shutDown);
  EXPECT_FALSE(record.managerSet);  // detached before shutting down
}

TEST_F(FakeHardwareTest, NoInputRequestDropsOneFrame) {
  test::LogCapture log(dir.File(L"silent.log"));
  script.inputRequests = 2;
  VideoEncoder enc;
  UseFake(enc);
  ASSERT_TRUE(enc.Open(device.Get(), kLuid, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  test::BgraPicture pic(device.Get(), 64, 64);
  std::vector<EncodedFrame> out;
  ASSERT_TRUE(enc.Encode(pic.Texture(), 0, false, out));
  ASSERT_TRUE(enc.Encode(pic.Texture(), kFrameMicros, false, out));
  ASSERT_EQ(out.size(), 2u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(enc.Encode(pic.Texture(), 2 * kFrameMicros, false, out));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(500));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(record.inputs, 2);
  EXPECT_NE(log.Text().find("Hardware encoder is not requesting input; dropping frame"), std::string::npos);
}

TEST_F(FakeHardwareTest, ErrorEventFailsTheNextEncode) {
  script.errorAfterFirstOutput = true;
  VideoEncoder enc;
  UseFake(enc);
  ASSERT_TRUE(enc.Open(device.Get(), kLuid, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  test::BgraPicture pic(device.Get(), 64, 64);
  std::vector<EncodedFrame> out;
  ASSERT_TRUE(enc.Encode(pic.Texture(), 0, false, out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(enc.Encode(pic.Texture(), kFrameMicros, false, out));
}

TEST_F(FakeHardwareTest, RefusedD3DManagerFallsBackToSoftware) {
  test::LogCapture log(dir.File(L"fallback.log"));
  script.refuseD3DManager = true;
  VideoEncoder enc;
  UseFake(enc);
  ASSERT_TRUE(enc.Open(device.Get(), kLuid, 160, 120, DisplayRotation::Identity, {160, 120, kFps, 2000, proto::VideoCodec::H264}));
  EXPECT_FALSE(enc.Hardware());
  EXPECT_FALSE(enc.Async());
  EXPECT_FALSE(enc.GpuInput());
  EXPECT_TRUE(record.shutDown);
  const std::string text = log.Text();
  EXPECT_NE(text.find("Hardware encoder does not accept our D3D11 device"), std::string::npos);
  EXPECT_NE(text.find("No usable hardware H.264 encoder, falling back to software encoding (higher CPU use)"),
            std::string::npos);
  test::BgraPicture pic(device.Get(), 160, 120);
  std::vector<EncodedFrame> out;
  for (int i = 0; i < kWarmUpFrames && out.empty(); ++i) ASSERT_TRUE(enc.Encode(pic.Texture(), i * kFrameMicros, i == 0, out));
  ASSERT_FALSE(out.empty());
  EXPECT_TRUE(out[0].keyFrame);
}

TEST_F(FakeHardwareTest, FailedHevcOpenLeavesNothingForTheH264Fallback) {
  script.refuseHevc = true;
  VideoEncoder enc;
  UseFake(enc);
  // HEVC: the fake hardware refuses the output type and no software HEVC exists.
  EXPECT_FALSE(enc.Open(device.Get(), kLuid, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::Hevc}));
  EXPECT_EQ(hardwareOffers, 1);
  // H.264 with no hardware offered this time: the software encoder runs synchronously.
  enc.SetCandidateSource([](bool hardware, proto::VideoCodec codec) {
    return hardware ? std::vector<EncoderCandidate>{} : SystemEncoderCandidates(false, codec);
  });
  ASSERT_TRUE(enc.Open(device.Get(), kLuid, 64, 64, DisplayRotation::Identity, {64, 64, kFps, 3000, proto::VideoCodec::H264}));
  EXPECT_FALSE(enc.Hardware());
  EXPECT_FALSE(enc.Async());
  EXPECT_FALSE(enc.GpuInput());
  test::BgraPicture pic(device.Get(), 64, 64);
  std::vector<EncodedFrame> out;
  for (int i = 0; i < kWarmUpFrames && out.empty(); ++i) ASSERT_TRUE(enc.Encode(pic.Texture(), i * kFrameMicros, false, out));
  EXPECT_FALSE(out.empty());
}

}  // namespace
}  // namespace kelm
