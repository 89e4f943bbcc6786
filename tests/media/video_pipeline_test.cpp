// Video pipeline tests with a scripted capture and a counting encoder: pacing, still-screen
// repeats, key-frame requests, restarts, the start deadline, device feedback and the pointer.
#include "media/video_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <thread>

#include "core/session_parts.h"
#include "desktop/input_router.h"
#include "media/stream_context.h"
#include "media/video_scale.h"
#include "scripted_pipeline.h"
#include "support/input_payloads.h"
#include "support/log_capture.h"
#include "support/recording_input_backend.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using proto::MsgType;
using test::CountingEncoder;
using test::EncoderRecord;
using test::ScriptedCapture;
using test::TestClock;

constexpr uint64_t kSecond = 1000000;

uint64_t StampOf(const msg::Message& m) {
  uint64_t v = 0;
  std::memcpy(&v, m.payload.data(), sizeof v);
  return v;
}

struct Sent {
  uint64_t when;
  msg::Message message;
};

class PipelineRig {
 public:
  explicit PipelineRig(bool realClock = false, uint32_t fps = 30)
      : clock(realClock),
        feedback([this] {
          if (onFeedbackClock) onFeedbackClock();
          return clock.Now();
        }),
        record(std::make_shared<EncoderRecord>()) {
    feedback.ResetRate(20000, false);
    StreamSetup setup;
    setup.label = "rig";
    setup.hello.panelWidth = 1280;
    setup.hello.panelHeight = 800;
    setup.hello.displayMode = 1;
    setup.kbps = 20000;
    setup.fps = fps;
    setup.send = [this](const msg::Message& m) {
      {
        std::lock_guard lock(sentMutex);
        sent.push_back({clock.Now(), m});
      }
      // The device acknowledges every frame at once (unless told not to).
      if (m.type == MsgType::VideoFrame && acks < ackLimit) {
        ++acks;
        feedback.OnFrameAck(StampOf(m));
      }
      return !stop.stop_requested();
    };
    setup.feedback = &feedback;
    setup.onStreamSize = [this](uint32_t w, uint32_t h) {
      streamWidth = w;
      streamHeight = h;
    };
    setup.onPipelineFailed = [this] {
      ++pipelineFailed;
      stop.request_stop();
    };
    context = std::make_unique<StreamContext>(std::move(setup));
    auto c = std::make_unique<ScriptedCapture>(clock);
    auto e = std::make_unique<CountingEncoder>(clock, record);
    capture = c.get();
    encoder = e.get();
    io.capture = std::move(c);
    io.encoder = std::move(e);
    io.now = [this] { return clock.Now(); };
    io.sleep = [this](uint32_t ms) { clock.Advance(uint64_t{ms} * 1000); };
  }

  // Runs the thread body on this thread until `stopAt` (virtual) or until it ends.
  void RunUntil(uint64_t stopAt) {
    auto userTick = capture->tick;
    capture->tick = [this, stopAt, userTick](uint64_t now) {
      if (userTick) userTick(now);
      if (now >= stopAt) stop.request_stop();
    };
    VideoPipeline::ThreadMain(*context, std::move(io), stop.get_token());
  }

  // Rebuilds the context with the given input side.
  void SetInput(StreamInputHooks input) {
    StreamSetup setup = context->setup;
    setup.input = std::move(input);
    context = std::make_unique<StreamContext>(std::move(setup));
  }

  std::vector<Sent> Messages(MsgType type) {
    std::lock_guard lock(sentMutex);
    std::vector<Sent> out;
    for (const Sent& s : sent) {
      if (s.message.type == type) out.push_back(s);
    }
    return out;
  }
  std::vector<Sent> All() {
    std::lock_guard lock(sentMutex);
    return sent;
  }

  TestClock clock;
  std::stop_source stop;
  int ackLimit = 1 << 30;  // frames the device acknowledges
  int acks = 0;
  std::function<void()> onFeedbackClock;  // runs whenever the feedback reads its clock
  StreamFeedback feedback;
  std::shared_ptr<EncoderRecord> record;
  std::unique_ptr<StreamContext> context;
  PipelineIo io;
  ScriptedCapture* capture = nullptr;   // owned by the pipeline while it runs
  CountingEncoder* encoder = nullptr;
  std::mutex sentMutex;
  std::vector<Sent> sent;
  std::atomic<uint32_t> streamWidth{0}, streamHeight{0};
  std::atomic<int> pipelineFailed{0};
};

size_t CountBetween(const std::vector<EncoderRecord::Encode>& e, uint64_t from, uint64_t to) {
  return static_cast<size_t>(
      std::count_if(e.begin(), e.end(), [&](const auto& x) { return x.when >= from && x.when < to; }));
}

TEST(VideoPipelineTest, ConstantChangeIsPacedAtTheFrameRate) {
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  rig.RunUntil(start + 4 * kSecond);
  const auto encodes = rig.record->Encodes();
  ASSERT_FALSE(encodes.empty());
  const uint64_t first = encodes.front().when;
  const size_t n = CountBetween(encodes, first, first + 3 * kSecond);
  EXPECT_GE(n, 88u);
  EXPECT_LE(n, 92u);
  // Never two encodes closer than three quarters of an interval.
  for (size_t i = 1; i < encodes.size(); ++i) EXPECT_GE(encodes[i].when - encodes[i - 1].when, 25000u);
  EXPECT_EQ(rig.pipelineFailed.load(), 1);  // the thread body reports its end in every case
}

TEST(VideoPipelineTest, StillScreenGetsExactlyTwoRepeatsThenNothing) {
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  rig.capture->stillFrom = start + kSecond;
  rig.RunUntil(start + 3500000);
  const uint64_t last = rig.capture->lastImage;
  ASSERT_GT(last, start);
  const auto encodes = rig.record->Encodes();
  std::vector<uint64_t> after;
  for (const auto& e : encodes) {
    if (e.when > last + 50000) after.push_back(e.when);
  }
  ASSERT_EQ(after.size(), 2u);
  EXPECT_GE(after[0], last + VideoPipeline::kRepeatAfterMicros);
  EXPECT_GE(after[1], after[0] + 25000);
  // Nothing after the repeats for the remaining 2 s and more.
  EXPECT_GE(start + 3500000 - after[1], 2 * kSecond);
}

TEST(VideoPipelineTest, KeyFrameRequestWhileFramePendingIsHonouredWithinTwoIntervals) {
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  const uint64_t askAt = start + kSecond;
  bool asked = false;
  rig.capture->tick = [&](uint64_t now) {
    if (!asked && now >= askAt) {
      rig.feedback.keyFrameRequested = true;
      asked = true;
    }
  };
  rig.RunUntil(start + 2 * kSecond);
  const auto encodes = rig.record->Encodes();
  auto forced = std::find_if(encodes.begin(), encodes.end(), [&](const auto& e) { return e.forced && e.when >= askAt; });
  ASSERT_NE(forced, encodes.end());
  EXPECT_LE(forced->when, askAt + 2 * kSecond / 30);
  auto frames = rig.Messages(MsgType::VideoFrame);
  EXPECT_EQ(frames.size(), encodes.size());
}

// Requests from another thread at random moments, the pipeline on its own thread in real
// time: every request is followed by a forced key frame, so none is lost between the step
// looking at it and the encoder taking it.
TEST(VideoPipelineTest, RandomKeyFrameRequestsAreNeverLost) {
  PipelineRig rig(true, 60);
  rig.capture->changePeriod = 4000;  // the screen changes faster than frames can go out
  std::vector<uint64_t> requests;
  std::thread pipeline([&] { VideoPipeline::ThreadMain(*rig.context, std::move(rig.io), rig.stop.get_token()); });
  std::mt19937 random(17);
  std::uniform_int_distribution<int> gapMicros(0, 20000);
  for (int i = 0; i < 200; ++i) {
    const uint64_t gap = static_cast<uint64_t>(gapMicros(random));
    const uint64_t until = NowMicros() + gap;
    while (NowMicros() < until) std::this_thread::yield();
    requests.push_back(NowMicros());
    rig.feedback.keyFrameRequested = true;
  }
  const uint64_t lastRequest = requests.back();
  const uint64_t waitUntil = NowMicros() + 2 * kSecond;
  while (NowMicros() < waitUntil) {
    const auto e = rig.record->Encodes();
    if (!e.empty() && e.back().forced && e.back().when > lastRequest) break;
    Sleep(10);
  }
  rig.stop.request_stop();
  pipeline.join();
  const auto encodes = rig.record->Encodes();
  for (const uint64_t r : requests) {
    const bool followed =
        std::any_of(encodes.begin(), encodes.end(), [&](const auto& e) { return e.forced && e.when >= r; });
    ASSERT_TRUE(followed) << "request at " << r << " never led to a key frame";
  }
  EXPECT_FALSE(rig.feedback.keyFrameRequested.load());
}

// A request that arrives after the step has looked at the flag, while that same step goes
// on to encode, is kept: here it arrives from inside the flow-control check that precedes
// the encode (the feedback reads its clock there once the device has stopped answering).
TEST(VideoPipelineTest, KeyFrameRequestArrivingDuringTheEncodeStepIsKept) {
  // At 240 fps every new image is due at once, so the step that sees the request arrive
  // also encodes. Only the first frame is acknowledged: a second later, each check at 8
  // frames in flight reads the clock to see how long the device has been silent.
  PipelineRig rig(false, 240);
  rig.ackLimit = 1;
  const uint64_t start = rig.clock.Now();
  int armedCalls = -1;
  std::vector<size_t> injectedBefore;  // encodes done when each request arrived
  rig.capture->tick = [&](uint64_t now) {
    if (armedCalls < 0 && now > start + 1200000 && rig.feedback.FramesInFlight() >= 8) armedCalls = 0;
  };
  rig.onFeedbackClock = [&] {
    if (armedCalls < 0) return;
    // The first read is the rate adaptation, before the step looks at the flag; the
    // second is inside the flow-control check of the encode.
    if (++armedCalls == 2) {
      injectedBefore.push_back(rig.record->Encodes().size());
      rig.feedback.keyFrameRequested = true;
      armedCalls = -1;
    }
  };
  rig.RunUntil(start + 3 * kSecond);
  const auto encodes = rig.record->Encodes();
  ASSERT_GE(injectedBefore.size(), 10u);
  for (const size_t n : injectedBefore) {
    if (n >= encodes.size()) continue;  // too late to be answered
    EXPECT_TRUE(encodes[n].forced) << "encode " << n << " right after a request was not a key frame";
  }
}

TEST(VideoPipelineTest, RestartOnTheSameDeviceKeepsTheEncoderAndFormat) {
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  bool lost = false;
  rig.capture->tick = [&](uint64_t now) {
    if (!lost && now >= start + kSecond) {
      rig.capture->queued.push_back(CaptureResult::Lost);
      lost = true;
    }
  };
  rig.RunUntil(start + 2 * kSecond);
  EXPECT_EQ(rig.capture->recreates, 1);
  EXPECT_EQ(rig.Messages(MsgType::VideoFormat).size(), 1u);
  EXPECT_EQ(rig.record->opened.size(), 1u);
  EXPECT_EQ(CountBetween(rig.record->Encodes(), start + 1100000, start + 2 * kSecond), 27u);
}

TEST(VideoPipelineTest, RestartOnANewDeviceSendsFormatAndAKeyFrame) {
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  uint64_t lostAt = 0;
  rig.capture->tick = [&](uint64_t now) {
    if (lostAt == 0 && now >= start + kSecond) {
      rig.capture->queued.push_back(CaptureResult::Unusable);
      rig.capture->generationAtRecreate = 2;
      lostAt = now;
    }
  };
  rig.RunUntil(start + 2 * kSecond);
  const auto formats = rig.Messages(MsgType::VideoFormat);
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_GE(formats[1].when, lostAt);
  EXPECT_EQ(rig.record->opened.size(), 2u);
  const auto encodes = rig.record->Encodes();
  auto next = std::find_if(encodes.begin(), encodes.end(), [&](const auto& e) { return e.when >= lostAt; });
  ASSERT_NE(next, encodes.end());
  EXPECT_TRUE(next->forced);
  // The key frame goes out after a CodecConfig of its own.
  const auto all = rig.All();
  auto format = std::find_if(all.begin(), all.end(), [&](const Sent& s) {
    return s.message.type == MsgType::VideoFormat && s.when >= lostAt;
  });
  auto config = std::find_if(format, all.end(), [](const Sent& s) { return s.message.type == MsgType::CodecConfig; });
  auto frame = std::find_if(format, all.end(), [](const Sent& s) { return s.message.type == MsgType::VideoFrame; });
  ASSERT_NE(config, all.end());
  ASSERT_NE(frame, all.end());
  EXPECT_LT(config - all.begin(), frame - all.begin());
}

TEST(VideoPipelineTest, PendingRequestSurvivesARestartWithoutContentAndNoStaleRepeat) {
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  const uint64_t lossAt = start + kSecond;
  const uint64_t resumeAt = start + 2 * kSecond;
  bool lost = false;
  rig.capture->stillFrom = lossAt;
  rig.capture->tick = [&](uint64_t now) {
    if (!lost && now >= lossAt) {
      rig.capture->queued.push_back(CaptureResult::Lost);
      rig.feedback.keyFrameRequested = true;
      lost = true;
    }
    if (now >= resumeAt) {
      rig.capture->stillFrom = ~uint64_t{0};
      rig.capture->changeFrom = resumeAt;
    }
  };
  rig.RunUntil(start + 2500000);
  const auto encodes = rig.record->Encodes();
  // Nothing at all between the loss and new content: no repeat of the old image.
  EXPECT_EQ(CountBetween(encodes, lossAt, resumeAt), 0u);
  auto next = std::find_if(encodes.begin(), encodes.end(), [&](const auto& e) { return e.when >= resumeAt; });
  ASSERT_NE(next, encodes.end());
  EXPECT_TRUE(next->forced);
}

TEST(VideoPipelineTest, EncoderFailureRestartsAndStreamingRecovers) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"log.txt"));
  PipelineRig rig;
  rig.encoder->failEncodeAt = 10;
  const uint64_t start = rig.clock.Now();
  rig.RunUntil(start + 2 * kSecond);
  EXPECT_NE(log.Text().find("[rig] encoder failed; restarting pipeline"), std::string::npos);
  EXPECT_EQ(rig.record->opened.size(), 2u);
  EXPECT_EQ(rig.Messages(MsgType::VideoFormat).size(), 2u);
  const auto encodes = rig.record->Encodes();
  EXPECT_TRUE(encodes[10].forced);  // the first after the failure is a key frame
  EXPECT_GE(encodes.size(), 55u);
  EXPECT_EQ(rig.pipelineFailed.load(), 1);
}

TEST(VideoPipelineTest, EncoderThatNeverOpensEndsWithTheStartTextAfterTenSeconds) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"log.txt"));
  PipelineRig rig;
  rig.encoder->neverOpens = true;
  const uint64_t start = rig.clock.Now();
  VideoPipeline::ThreadMain(*rig.context, std::move(rig.io), rig.stop.get_token());
  const auto errors = rig.Messages(MsgType::ErrorMessage);
  ASSERT_EQ(errors.size(), 1u);
  const std::string text(errors[0].message.payload.begin() + 2, errors[0].message.payload.end());
  EXPECT_EQ(text, "The host could not capture or encode the display.");
  EXPECT_GE(errors[0].when, start + 9500000);
  EXPECT_LE(errors[0].when, start + 10500000);
  EXPECT_EQ(rig.pipelineFailed.load(), 1);
  EXPECT_TRUE(rig.Messages(MsgType::VideoFrame).empty());
  EXPECT_NE(log.Text().find("[rig] could not start capturing"), std::string::npos);
}

TEST(VideoPipelineTest, HevcFallsBackToH264Once) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"log.txt"));
  PipelineRig rig;
  rig.context->hevc = true;
  rig.RunUntil(rig.clock.Now() + kSecond);
  EXPECT_NE(log.Text().find("[rig] HEVC encoder unavailable, using H.264"), std::string::npos);
  EXPECT_FALSE(rig.context->hevc);
  ASSERT_EQ(rig.record->opened.size(), 1u);
  EXPECT_EQ(rig.record->opened[0].codec, proto::VideoCodec::H264);
  const auto formats = rig.Messages(MsgType::VideoFormat);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].message.payload[4], 0);  // codec H.264
}

TEST(VideoPipelineTest, StreamSizeChangeSendsFormatConfigAndKeyFrame) {
  PipelineRig rig;
  rig.capture->width = 2560;
  rig.capture->height = 1440;
  const uint64_t start = rig.clock.Now();
  uint64_t askedAt = 0;
  rig.capture->tick = [&](uint64_t now) {
    if (askedAt == 0 && now >= start + kSecond) {
      rig.feedback.SetPendingResize({1920, 1200, 0, 0});
      askedAt = now;
    }
  };
  rig.RunUntil(start + 2 * kSecond);
  const auto formats = rig.Messages(MsgType::VideoFormat);
  ASSERT_EQ(formats.size(), 2u);
  const auto u16 = [](const msg::Message& m, size_t at) { return m.payload[at] | (m.payload[at + 1] << 8); };
  EXPECT_EQ(u16(formats[0].message, 0), 1280);
  EXPECT_EQ(u16(formats[0].message, 2), 720);
  EXPECT_EQ(u16(formats[1].message, 0), 1920);
  EXPECT_EQ(u16(formats[1].message, 2), 1080);
  EXPECT_EQ(rig.streamWidth.load(), 1920u);
  const auto all = rig.All();
  auto format = std::find_if(all.begin(), all.end(), [&](const Sent& s) {
    return s.message.type == MsgType::VideoFormat && s.when >= askedAt;
  });
  auto next = std::find_if(format + 1, all.end(), [](const Sent& s) {
    return s.message.type == MsgType::CodecConfig || s.message.type == MsgType::VideoFrame;
  });
  ASSERT_NE(next, all.end());
  EXPECT_EQ(next->message.type, MsgType::CodecConfig);
}

TEST(VideoPipelineTest, PauseStopsFramesAndResumeStartsWithAKeyFrame) {
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  int pausedSteps = 0;
  rig.capture->tick = [&](uint64_t now) {
    if (now >= start + kSecond && now < start + 3 * kSecond) {
      rig.feedback.SetPaused(true);
      ++pausedSteps;
    }
    if (now >= start + 3 * kSecond) rig.feedback.SetPaused(false);
  };
  rig.RunUntil(start + 4 * kSecond);
  // No polling while paused: at most one wait per new image (60 a second) or 50 ms.
  EXPECT_LE(pausedSteps, 125);
  const auto encodes = rig.record->Encodes();
  EXPECT_EQ(CountBetween(encodes, start + 1040000, start + 3 * kSecond), 0u);
  auto next =
      std::find_if(encodes.begin(), encodes.end(), [&](const auto& e) { return e.when >= start + 3 * kSecond; });
  ASSERT_NE(next, encodes.end());
  EXPECT_TRUE(next->forced);
}

TEST(VideoPipelineTest, DeviceLimitReachesTheEncoder) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"log.txt"));
  PipelineRig rig;
  const uint64_t start = rig.clock.Now();
  bool limited = false;
  rig.capture->tick = [&](uint64_t now) {
    if (!limited && now >= start + kSecond) {
      rig.feedback.SetLimits(3000, 0);
      limited = true;
    }
  };
  rig.RunUntil(start + 2 * kSecond);
  EXPECT_NE(log.Text().find("[rig] bitrate -> 3000 kbps"), std::string::npos);
  const auto& rates = rig.record->bitrates;
  EXPECT_NE(std::find(rates.begin(), rates.end(), 3000u), rates.end());
}

TEST(VideoPipelineTest, PointerIsSentScaledAndOnlyWhenItMoves) {
  PipelineRig rig;
  rig.capture->width = 2560;
  rig.capture->height = 1440;  // streams at 1280 x 720 for a 1280 x 800 panel
  rig.capture->pointer.visible = true;
  rig.capture->pointer.x = 960;
  rig.capture->pointer.y = 540;
  rig.capture->pointer.hotX = 2;
  rig.capture->pointer.hotY = 4;
  rig.capture->pointer.width = 2;
  rig.capture->pointer.height = 1;
  rig.capture->pointer.shapeSerial = 1;
  rig.capture->pointer.pixels = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint64_t start = rig.clock.Now();
  rig.capture->tick = [&](uint64_t now) {
    if (now >= start + kSecond) rig.capture->pointer.x = 1000;
  };
  rig.RunUntil(start + 2 * kSecond);
  const auto shapes = rig.Messages(MsgType::CursorShape);
  ASSERT_EQ(shapes.size(), 1u);
  EXPECT_EQ(shapes[0].message.payload.size(), 8u + 8u);
  const auto positions = rig.Messages(MsgType::CursorPosition);
  ASSERT_EQ(positions.size(), 2u);
  const auto i32 = [](const msg::Message& m, size_t at) {
    int32_t v;
    std::memcpy(&v, m.payload.data() + at, 4);
    return v;
  };
  EXPECT_EQ(positions[0].message.payload[0], 1);
  EXPECT_EQ(i32(positions[0].message, 1), (960 - 2) * 1280 / 2560);
  EXPECT_EQ(i32(positions[0].message, 5), (540 - 4) * 720 / 1440);
  EXPECT_EQ(i32(positions[1].message, 1), (1000 - 2) * 1280 / 2560);
}

TEST(VideoPipelineTest, NoSessionNoWork) {
  PipelineRig rig;
  rig.stop.request_stop();
  VideoPipeline::ThreadMain(*rig.context, std::move(rig.io), rig.stop.get_token());
  EXPECT_TRUE(rig.All().empty());
  EXPECT_EQ(rig.pipelineFailed.load(), 1);
}

// No text field is ever reported: only the caret search can find one.
class NoTextFields final : public TextFieldSource {
 public:
  int32_t Subscribe(TextFieldCallback) override { return 1; }
  void Unsubscribe(int32_t) override {}
};

TEST(VideoPipelineTest, TapOnABlinkingCaretShowsTheDeviceKeyboard) {
  constexpr uint32_t kW = 640, kH = 480;
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> deviceContext;
  ASSERT_HRESULT_SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                             D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                                             &device, nullptr, &deviceContext));
  D3D11_TEXTURE2D_DESC d{};
  d.Width = kW;
  d.Height = kH;
  d.MipLevels = 1;
  d.ArraySize = 1;
  d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  d.SampleDesc.Count = 1;
  d.Usage = D3D11_USAGE_DEFAULT;
  d.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
  ASSERT_HRESULT_SUCCEEDED(device->CreateTexture2D(&d, nullptr, &texture));

  PipelineRig rig;
  test::RecordingInputBackend backend{true};
  NoTextFields fields;
  InputRouter router("rig", backend, fields, [&] { return rig.clock.Now() / 1000; });
  std::mutex shownMutex;
  std::vector<std::pair<uint64_t, uint8_t>> keyboard;
  router.Start(proto::PenMode::Pen, proto::TouchMode::Touch, [&](const msg::Message& m) {
    std::lock_guard lock(shownMutex);
    if (m.type == MsgType::DeviceKeyboard && m.payload.size() == 1) keyboard.push_back({rig.clock.Now(), m.payload[0]});
    return true;
  });
  rig.SetInput(InputHooksFor(router));
  rig.capture->width = kW;
  rig.capture->height = kH;
  rig.capture->desktop = RECT{0, 0, kW, kH};
  rig.capture->device = device.Get();
  rig.capture->deviceContext = deviceContext.Get();
  rig.capture->texture = texture.Get();
  rig.capture->changePeriod = 100000;
  const uint64_t start = rig.clock.Now();
  uint64_t tappedAt = 0;
  int shownState = -1;
  rig.capture->tick = [&](uint64_t now) {
    // A 2 x 20 caret at the tap's height that blinks every 500 ms on a light screen.
    const int visible = static_cast<int>((now - start) / 500000 % 2);
    if (visible != shownState) {
      std::vector<uint32_t> px(size_t{kW} * kH, 0xFFD0D0D0u);
      if (visible) {
        for (uint32_t y = 230; y < 250; ++y) {
          for (uint32_t x = 320; x < 322; ++x) px[size_t{y} * kW + x] = 0xFF000000u;
        }
      }
      deviceContext->UpdateSubresource(texture.Get(), 0, nullptr, px.data(), kW * 4, 0);
      shownState = visible;
    }
    if (tappedAt == 0 && now >= start + 300000) {
      router.OnMessage(11, test::TouchPayload({{1, 0, 0.5f, 0.5f}}));
      router.OnMessage(11, test::TouchPayload({}));
      tappedAt = now;
    }
  };
  rig.RunUntil(start + 2500000);
  router.Stop();
  std::lock_guard lock(shownMutex);
  ASSERT_FALSE(keyboard.empty()) << "the caret was not found";
  EXPECT_EQ(keyboard.front().second, 1);
  EXPECT_LE(keyboard.front().first, tappedAt + VideoPipeline::kCaretSearchMicros);
}

}  // namespace
}  // namespace kelm
