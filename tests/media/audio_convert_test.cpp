// Conversion of output-device samples to the 16-bit stereo the device plays.
#include "media/audio_convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace kelm {
namespace {

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

}  // namespace
}  // namespace kelm
