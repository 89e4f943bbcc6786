// End to end: a device asks the real host for audio over a real connection and records
// what arrives as a WAV file, which a native analysis checks afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "core/host_service.h"
#include "core/paths.h"
#include "media/synthetic_audio_source.h"
#include "support/device_messages.h"
#include "support/log_capture.h"
#include "support/paired_device.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::Bytes;
using Clock = std::chrono::steady_clock;

using test::dev::kAudio;
using test::dev::kAudioData;
using test::dev::kAudioFormat;
using test::dev::kBye;

uint32_t U32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}

void PutU32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

// A canonical 16-bit PCM WAV file.
std::string Wav(const std::string& pcm, uint32_t rate, uint16_t channels) {
  std::string w = "RIFF";
  PutU32(w, static_cast<uint32_t>(36 + pcm.size()));
  w += "WAVEfmt ";
  PutU32(w, 16);
  w += std::string("\x01\x00", 2);
  w.push_back(static_cast<char>(channels));
  w.push_back(0);
  PutU32(w, rate);
  PutU32(w, rate * channels * 2);
  w.push_back(static_cast<char>(channels * 2));
  w.push_back(0);
  w += std::string("\x10\x00", 2);
  w += "data";
  PutU32(w, static_cast<uint32_t>(pcm.size()));
  return w + pcm;
}

TEST(AudioEndToEnd, DeviceReceivesTheToneAsFormatThenData) {
  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  SetProfileDir(profile.Path());
  test::ScopedAudioSource source;  // a 1 kHz tone at half scale stands in for the PC's sound
  HostService host;
  std::string error;
  ASSERT_TRUE(host.Initialize(error)) << error;
  host.SetPinAlwaysValid(true);
  HostOptions options;
  options.port = static_cast<uint16_t>(35000 + GetCurrentProcessId() % 2000);
  options.name = "AUDIO";
  options.pin = 123456;
  options.useAdb = false;
  options.discovery = false;
  options.driver = false;
  ASSERT_TRUE(host.Start(options));

  test::PinPairedDevice device;
  ASSERT_TRUE(device.Connect(options.port));
  test::DeviceClient& client = *device.client;
  ASSERT_TRUE(client.SendRecord(kAudio, {1}));
  uint8_t type = 0;
  Bytes payload;

  bool formatSeen = false;
  uint32_t rate = 0;
  std::string pcm;
  uint64_t firstClock = 0, lastClock = 0;
  Clock::time_point first{}, last{};
  size_t dataMessages = 0;
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::seconds(4) && (dataMessages == 0 || last - first < std::chrono::seconds(3))) {
    ASSERT_TRUE(client.ReadRecord(type, payload));
    if (type == kAudioFormat) {
      ASSERT_GE(payload.size(), 6u);
      rate = U32(payload, 0);
      EXPECT_EQ(payload[4], 2);
      formatSeen = true;
    } else if (type == kAudioData) {
      ASSERT_TRUE(formatSeen) << "audio data before its format";
      ASSERT_GE(payload.size(), 8u);
      ASSERT_EQ((payload.size() - 8) % 4, 0u);
      const uint64_t stamp = U32(payload, 0) | uint64_t{U32(payload, 4)} << 32;
      if (dataMessages == 0) {
        first = Clock::now();
        firstClock = stamp;
      } else {
        EXPECT_GT(stamp, lastClock);
      }
      last = Clock::now();
      lastClock = stamp;
      ++dataMessages;
      pcm.append(reinterpret_cast<const char*>(payload.data() + 8), payload.size() - 8);
    }
  }
  client.SendRecord(kBye, {});
  EXPECT_EQ(rate, 48000u);
  ASSERT_GT(dataMessages, 250u);
  EXPECT_GT(lastClock, firstClock);

  // The analysis runs natively after this program; the elapsed time goes beside the WAV.
  const char* wavPath = std::getenv("TAVRO_AUDIO_WAV");
  const std::string out = wavPath ? wavPath : "audio-e2e.wav";
  std::ofstream(out, std::ios::binary) << Wav(pcm, rate, 2);
  const double elapsed = std::chrono::duration<double>(last - first).count();
  std::ofstream(out + ".json") << "{\"elapsed_s\": " << elapsed << ", \"messages\": " << dataMessages
                               << ", \"first_batch_frames\": 480}\n";
  host.Shutdown();
  SetProfileDir(L"");
  EXPECT_NE(log.Text().find("audio on"), std::string::npos);
}

}  // namespace
}  // namespace kelm
