// Audio streaming: sample conversion, the stream's messages, the speaker mute with its
// registry record, the open watchdog, and the real WASAPI code under this system.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "core/registry_key.h"
#include "media/audio_convert.h"
#include "media/audio_stream.h"
#include "media/speaker_mute.h"
#include "media/synthetic_audio_source.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// ---- conversion -------------------------------------------------------------------

std::vector<uint8_t> Bytes(const void* p, size_t n) {
  const auto* b = static_cast<const uint8_t*>(p);
  return {b, b + n};
}

TEST(AudioConvert, SampleValues) {
  struct Case {
    double in;
    int16_t out;
  };
  for (const Case& c : {Case{1.5, 32767}, Case{-1.0, -32767}, Case{0.5, 16384}, Case{-0.5, -16384},
                        Case{std::numeric_limits<double>::quiet_NaN(), 0}, Case{-7.0, -32767},
                        Case{std::numeric_limits<double>::infinity(), 32767}, Case{0.0, 0}}) {
    EXPECT_EQ(SampleToInt16(c.in), c.out) << c.in;
  }
}

TEST(AudioConvert, LayoutsAndChannels) {
  std::vector<int16_t> out;
  // 16-bit: -32768 is -1.0 and so -32767.
  const int16_t pcm16[] = {-32768, 16384, 0, 32767};
  ASSERT_EQ(ConvertToStereo16(AudioSampleKind::Pcm16, Bytes(pcm16, sizeof pcm16), 2, 2, false, out), 2u);
  EXPECT_EQ(out, (std::vector<int16_t>{-32767, 16384, 0, 32766}));
  // 24 valid bits in a 32-bit container: 0x400000 << 8 is half scale.
  const int32_t pcm32[] = {0x40000000, -0x40000000};
  ASSERT_EQ(ConvertToStereo16(AudioSampleKind::Pcm32, Bytes(pcm32, sizeof pcm32), 1, 2, false, out), 1u);
  EXPECT_EQ(out, (std::vector<int16_t>{16384, -16384}));
  // Mono is doubled.
  const float mono[] = {0.5f, -1.0f};
  ASSERT_EQ(ConvertToStereo16(AudioSampleKind::Float32, Bytes(mono, sizeof mono), 2, 1, false, out), 2u);
  EXPECT_EQ(out, (std::vector<int16_t>{16384, 16384, -32767, -32767}));
  // Six channels: the first two are kept; a NaN becomes silence.
  const float six[] = {0.25f, std::numeric_limits<float>::quiet_NaN(), 0.9f, 0.9f, 0.9f, 0.9f};
  ASSERT_EQ(ConvertToStereo16(AudioSampleKind::Float32, Bytes(six, sizeof six), 1, 6, false, out), 1u);
  EXPECT_EQ(out, (std::vector<int16_t>{8192, 0}));
  // The silent flag gives zeros whatever the buffer holds.
  ASSERT_EQ(ConvertToStereo16(AudioSampleKind::Float32, Bytes(six, sizeof six), 3, 2, true, out), 3u);
  EXPECT_EQ(out, std::vector<int16_t>(6, 0));
  // A buffer shorter than announced converts only its whole frames.
  ASSERT_EQ(ConvertToStereo16(AudioSampleKind::Pcm16, Bytes(pcm16, 6), 2, 2, false, out), 1u);
  EXPECT_EQ(ConvertToStereo16(AudioSampleKind::Unsupported, Bytes(pcm16, 8), 2, 2, false, out), 0u);
}

TEST(AudioConvert, FormatClassification) {
  EXPECT_EQ(ClassifySampleFormat(true, false, 32, 0, false), AudioSampleKind::Float32);
  EXPECT_EQ(ClassifySampleFormat(true, false, 32, 32, true), AudioSampleKind::Float32);
  EXPECT_EQ(ClassifySampleFormat(false, true, 16, 0, false), AudioSampleKind::Pcm16);
  EXPECT_EQ(ClassifySampleFormat(false, true, 32, 24, true), AudioSampleKind::Pcm32);
  EXPECT_EQ(ClassifySampleFormat(false, true, 32, 32, true), AudioSampleKind::Pcm32);
  EXPECT_EQ(ClassifySampleFormat(false, true, 32, 20, true), AudioSampleKind::Unsupported);
  EXPECT_EQ(ClassifySampleFormat(false, true, 24, 24, true), AudioSampleKind::Unsupported);
  EXPECT_EQ(ClassifySampleFormat(true, false, 64, 0, false), AudioSampleKind::Unsupported);
  EXPECT_EQ(ClassifySampleFormat(false, false, 16, 0, false), AudioSampleKind::Unsupported);
}

// ---- the stream's messages ------------------------------------------------------------

struct Sent {
  uint8_t type;
  std::vector<uint8_t> payload;
};

class AudioStreamTest : public ::testing::Test {
 protected:
  bool Send(const msg::Message& m) {
    std::lock_guard lock(mutex);
    const auto type = static_cast<uint8_t>(m.type);
    if (type == 9 && failFormats > 0) {
      --failFormats;
      ++failedFormats;
      return false;
    }
    sent.push_back({type, m.payload});
    cv.notify_all();
    return true;
  }
  bool WaitFor(size_t count, std::chrono::milliseconds limit = 3000ms) {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, limit, [&] { return sent.size() >= count; });
  }
  std::vector<Sent> Snapshot() {
    std::lock_guard lock(mutex);
    return sent;
  }

  test::TempDir dir;
  test::LogCapture log{dir.File(L"audio.log")};
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Sent> sent;
  int failFormats = 0;
  int failedFormats = 0;
  AudioStream stream{"dev", [this](const msg::Message& m) { return Send(m); }, nullptr};
};

TEST_F(AudioStreamTest, FormatBeforeDataAndTenMillisecondBatches) {
  test::ScopedAudioSource source;
  stream.Apply(1);
  stream.Apply(1);  // already on: no second capture
  ASSERT_TRUE(WaitFor(6));
  stream.Stop();
  const auto got = Snapshot();
  EXPECT_EQ(source.starts.load(), 1);
  ASSERT_EQ(got[0].type, 9);
  EXPECT_EQ(got[0].payload, (std::vector<uint8_t>{0x80, 0xBB, 0x00, 0x00, 2, 0}));  // 48000, 2, 0
  for (size_t i = 1; i < got.size(); ++i) {
    ASSERT_EQ(got[i].type, 14) << i;
    EXPECT_EQ(got[i].payload.size(), 8u + 1920u) << i;
  }
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "[dev] audio on"), 1u);
  EXPECT_FALSE(stream.On());
}

TEST_F(AudioStreamTest, OffWithoutCaptureLogsNothingAndMuteAloneIsOff) {
  test::ScopedAudioSource source;
  stream.Apply(0);
  stream.Apply(2);  // mute without audio
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(source.starts.load(), 0);
  EXPECT_TRUE(Snapshot().empty());
  EXPECT_FALSE(stream.On());
  const std::string text = log.Text();
  EXPECT_EQ(text.find("audio off"), std::string::npos);
  EXPECT_EQ(text.find("audio on"), std::string::npos);
}

TEST_F(AudioStreamTest, RateChangeAndFailedFormatSendAnnounceAgain) {
  test::SyntheticTone tone;
  tone.rate = [](uint64_t batch) { return batch < 5 ? 48000u : 44100u; };
  test::ScopedAudioSource source(tone);
  {
    std::lock_guard lock(mutex);
    failFormats = 1;  // the very first format message is lost
  }
  stream.Apply(1);
  ASSERT_TRUE(WaitFor(12));
  stream.Apply(0);
  const auto got = Snapshot();
  EXPECT_EQ(failedFormats, 1);
  // Nothing went out without a format before it, and the rate change was announced.
  std::vector<uint32_t> formats;
  for (const Sent& s : got) {
    if (s.type == 9) formats.push_back(s.payload[0] | s.payload[1] << 8 | s.payload[2] << 16);
  }
  ASSERT_EQ(got[0].type, 9);
  EXPECT_EQ(formats, (std::vector<uint32_t>{48000, 44100}));
  size_t after44100 = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i].type == 9 && formats.size() == 2 && got[i].payload[0] == (44100 & 0xFF)) after44100 = i;
  }
  ASSERT_GT(after44100, 0u);
  EXPECT_EQ(got[after44100 + 1].payload.size(), 8u + 441u * 4u);
  EXPECT_NE(log.Text().find("[dev] audio off"), std::string::npos);
}

// ---- speaker mute ---------------------------------------------------------------------

class FakeEndpoints final : public SpeakerEndpoints {
 public:
  bool DefaultOutput(std::wstring& id) override {
    std::lock_guard lock(mutex);
    id = defaultId;
    return !defaultId.empty();
  }
  HRESULT GetMute(const std::wstring& id, bool& m) override {
    std::lock_guard lock(mutex);
    m = muted[id];
    return S_OK;
  }
  HRESULT SetMute(const std::wstring& id, bool m) override {
    std::lock_guard lock(mutex);
    muted[id] = m;
    calls.push_back({id, m});
    return S_OK;
  }
  std::mutex mutex;
  std::wstring defaultId = L"{speakers-1}";
  std::map<std::wstring, bool> muted;
  std::vector<std::pair<std::wstring, bool>> calls;
};

class SpeakerMuteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetTavroRegistryKey(key);
    SetSpeakerEndpoints(endpoints);
  }
  void TearDown() override {
    SetSpeakerEndpoints(nullptr);
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    SetTavroRegistryKey(L"");
  }
  // Runs until the synthetic capture has delivered something (it holds the mute then).
  static void WaitDelivered(std::atomic<int>& batches) {
    for (int i = 0; i < 300 && batches.load() == 0; ++i) std::this_thread::sleep_for(10ms);
  }

  std::shared_ptr<FakeEndpoints> endpoints = std::make_shared<FakeEndpoints>();
  // The real registry, under a key of this test program's own.
  const std::wstring key = L"Software\\tavro-test-" + std::to_wstring(GetCurrentProcessId());
  test::TempDir dir;
  test::LogCapture log{dir.File(L"mute.log")};
};

TEST_F(SpeakerMuteTest, TwoCapturesMuteOnceAndTheLastUnmutes) {
  test::ScopedAudioSource source;
  std::atomic<int> a{0}, b{0};
  AudioCapture first, second;
  first.Start([&](const int16_t*, size_t, uint32_t) { ++a; }, nullptr);
  second.Start([&](const int16_t*, size_t, uint32_t) { ++b; }, nullptr);
  first.SetMuteRequested(true);
  second.SetMuteRequested(true);
  WaitDelivered(a);
  WaitDelivered(b);
  std::this_thread::sleep_for(50ms);  // both threads have taken their hold
  EXPECT_EQ(ReadMutedSpeakersValue(), std::optional<std::wstring>(L"{speakers-1}"));
  first.Stop();
  {
    std::lock_guard lock(endpoints->mutex);
    ASSERT_EQ(endpoints->calls.size(), 1u);
    EXPECT_TRUE(endpoints->calls[0].second);
  }
  EXPECT_TRUE(ReadMutedSpeakersValue().has_value());
  second.Stop();
  {
    std::lock_guard lock(endpoints->mutex);
    ASSERT_EQ(endpoints->calls.size(), 2u);
    EXPECT_EQ(endpoints->calls[1], (std::pair<std::wstring, bool>{L"{speakers-1}", false}));
  }
  EXPECT_FALSE(ReadMutedSpeakersValue().has_value());
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "Audio: PC speakers muted"), 1u);
  EXPECT_EQ(Count(text, "Audio: PC speakers unmuted"), 1u);
}

TEST_F(SpeakerMuteTest, AlreadyMutedSpeakersAreLeftAlone) {
  endpoints->muted[L"{speakers-1}"] = true;
  test::ScopedAudioSource source;
  std::atomic<int> n{0};
  {
    AudioCapture capture;
    capture.Start([&](const int16_t*, size_t, uint32_t) { ++n; }, nullptr);
    capture.SetMuteRequested(true);
    WaitDelivered(n);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ReadMutedSpeakersValue().has_value());
  }
  EXPECT_TRUE(endpoints->calls.empty());
  EXPECT_NE(log.Text().find("Audio: PC speakers not muted (already muted)"), std::string::npos);
}

TEST_F(SpeakerMuteTest, StreamWithoutAudioNeverMutesAndMuteFollowsTheRequest) {
  test::ScopedAudioSource source;
  std::atomic<int> n{0};
  AudioStream stream("dev", [&](const msg::Message&) { return ++n, true; }, nullptr);
  stream.Apply(2);
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(endpoints->calls.empty());
  stream.Apply(3);
  WaitDelivered(n);
  std::this_thread::sleep_for(50ms);
  stream.Apply(1);  // audio stays on, the mute is let go
  std::this_thread::sleep_for(100ms);
  stream.Stop();
  std::lock_guard lock(endpoints->mutex);
  ASSERT_EQ(endpoints->calls.size(), 2u);
  EXPECT_TRUE(endpoints->calls[0].second);
  EXPECT_FALSE(endpoints->calls[1].second);
}

TEST_F(SpeakerMuteTest, RecoveryUnmutesTheRecordedEndpointAndDeletesTheValue) {
  HKEY handle = nullptr;
  ASSERT_EQ(
      RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &handle, nullptr),
      ERROR_SUCCESS);
  // Stored without a terminator: the read must stop at the value's own size.
  const std::wstring id = L"{other-speakers}";
  ASSERT_EQ(RegSetValueExW(handle, kMutedSpeakersValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(id.data()),
                           static_cast<DWORD>(id.size() * sizeof(wchar_t))),
            ERROR_SUCCESS);
  RegCloseKey(handle);
  EXPECT_EQ(ReadMutedSpeakersValue(), std::optional<std::wstring>(id));
  AudioCapture::RecoverMutedSpeakers();
  EXPECT_FALSE(ReadMutedSpeakersValue().has_value());
  ASSERT_EQ(endpoints->calls.size(), 1u);
  EXPECT_EQ(endpoints->calls[0], (std::pair<std::wstring, bool>{id, false}));
  EXPECT_NE(log.Text().find("Audio: unmuted the PC speakers after an unexpected exit"), std::string::npos);
  // Nothing recorded: nothing touched.
  AudioCapture::RecoverMutedSpeakers();
  EXPECT_EQ(endpoints->calls.size(), 1u);
}

// ---- watchdog and stop ----------------------------------------------------------------

// An opening that never completes and ignores the stop request, as a stream blocked by
// security software inside the system call does.
class HangingSource final : public AudioSource {
 public:
  explicit HangingSource(std::chrono::milliseconds hang) : hang_(hang) {}
  void Capture(const std::shared_ptr<AudioCapture::State>& state) override {
    OpenWatchdog watchdog(state);
    std::this_thread::sleep_for(hang_);
    const int16_t silence[4] = {};
    state->Deliver(silence, 2, 48000);  // a late batch after the stop must go nowhere
  }

 private:
  std::chrono::milliseconds hang_;
};

TEST_F(AudioStreamTest, BlockedOpeningWarnsOnceAtTwelveSecondsAndStopIsBounded) {
  std::atomic<int> userTexts{0};
  Clock::time_point blockedAt{};
  test::ScopedAudioSource source([] { return std::make_unique<HangingSource>(15000ms); });
  AudioStream blocked("dev", [this](const msg::Message& m) { return Send(m); },
                      [&](const std::string& text) {
                        EXPECT_EQ(text,
                                  "Audio is being blocked. If your antivirus asks about tavro using the microphone or "
                                  "audio, allow it.");
                        blockedAt = Clock::now();
                        ++userTexts;
                      });
  const auto start = Clock::now();
  blocked.Apply(1);
  while (userTexts.load() == 0 && Clock::now() - start < 14s) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(userTexts.load(), 1);
  const auto at = std::chrono::duration_cast<std::chrono::milliseconds>(blockedAt - start).count();
  EXPECT_GE(at, 11500);
  EXPECT_LE(at, 12500);
  const auto stopStart = Clock::now();
  blocked.Stop();
  const auto stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopStart).count();
  EXPECT_GE(stopMs, 1900);
  EXPECT_LE(stopMs, 2100);
  std::this_thread::sleep_for(1500ms);  // the hanging thread delivers its late batch now
  EXPECT_EQ(userTexts.load(), 1);
  EXPECT_TRUE(Snapshot().empty());
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "Audio: opening the capture stream is taking long - blocked by security software?"), 1u);
  EXPECT_EQ(Count(text, "Audio: capture thread is still blocked by the system; it will exit on its own"), 1u);
}

// ---- the real capture under this system -----------------------------------------------

TEST_F(AudioStreamTest, RealCaptureDegradesQuietlyAndStopsPromptly) {
  // No synthetic source: the product's WASAPI path. Without a sound server per-process
  // capture fails at once and the output device is retried; neither may look blocked.
  std::atomic<int> userTexts{0};
  AudioStream real("dev", [this](const msg::Message& m) { return Send(m); },
                   [&](const std::string&) { ++userTexts; });
  SetVerbose(true);
  real.Apply(3);
  std::this_thread::sleep_for(15s);
  const auto stopStart = Clock::now();
  real.Stop();
  SetVerbose(false);
  EXPECT_LT(Clock::now() - stopStart, 1s);
  EXPECT_EQ(userTexts.load(), 0);
  const std::string text = log.Text();
  EXPECT_EQ(text.find("blocked by security software"), std::string::npos);
  EXPECT_NE(text.find("Audio: per-app capture unavailable ("), std::string::npos) << text;
  EXPECT_NE(text.find("capturing the output device instead"), std::string::npos);
  // The output device is tried again (every 2 s) or, with a sound server, captured.
  EXPECT_TRUE(Count(text, "Audio: no output device to capture (") >= 2 ||
              text.find("Audio: capturing the output device,") != std::string::npos)
      << text;
}

TEST(AudioDiagnostic, ReportsNothingCapturedAndFails) {
  const auto start = Clock::now();
  const test::ProcessResult r = test::RunProcess(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --audio-test", 60000);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 1u) << r.out << r.err;
  EXPECT_NE(r.out.find("no audio captured after 10 s (blocked by security software, or nothing is playing)"),
            std::string::npos)
      << r.out;
  EXPECT_GE(Clock::now() - start, 9s);
}

}  // namespace
}  // namespace kelm
