// Sample conversion for output-device loopback capture.
#include "media/audio_convert.h"

#include <cmath>
#include <cstring>

namespace kelm {
namespace {

size_t BytesPerSample(AudioSampleKind kind) {
  switch (kind) {
    case AudioSampleKind::Float32:
    case AudioSampleKind::Pcm32:
      return 4;
    case AudioSampleKind::Pcm16:
      return 2;
    case AudioSampleKind::Unsupported:
      break;
  }
  return 0;
}

double ReadSample(AudioSampleKind kind, const uint8_t* p) {
  switch (kind) {
    case AudioSampleKind::Float32: {
      float f;
      std::memcpy(&f, p, sizeof f);
      return f;
    }
    case AudioSampleKind::Pcm16: {
      int16_t v;
      std::memcpy(&v, p, sizeof v);
      return v / 32768.0;
    }
    case AudioSampleKind::Pcm32: {
      // 24 valid bits sit in the top of the 32-bit container, so one scale serves both.
      int32_t v;
      std::memcpy(&v, p, sizeof v);
      return v / 2147483648.0;
    }
    case AudioSampleKind::Unsupported:
      break;
  }
  return 0.0;
}

}  // namespace

AudioSampleKind ClassifySampleFormat(bool isFloat, bool isPcm, uint16_t bitsPerSample, uint16_t validBits,
                                     bool extensible) {
  if (isFloat && bitsPerSample == 32) return AudioSampleKind::Float32;
  if (!isPcm) return AudioSampleKind::Unsupported;
  if (bitsPerSample == 16) return AudioSampleKind::Pcm16;
  // A plain 32-bit format has all 32 bits valid; an extensible one says 24 or 32.
  if (bitsPerSample == 32 && (!extensible || validBits == 24 || validBits == 32)) return AudioSampleKind::Pcm32;
  return AudioSampleKind::Unsupported;
}

int16_t SampleToInt16(double value) {
  if (std::isnan(value)) return 0;
  const double clamped = value < -1.0 ? -1.0 : (value > 1.0 ? 1.0 : value);
  return static_cast<int16_t>(std::round(clamped * 32767.0));  // std::round: half away from zero
}

size_t ConvertToStereo16(AudioSampleKind kind, std::span<const uint8_t> bytes, size_t frames, uint32_t channels,
                         bool silent, std::vector<int16_t>& out) {
  const size_t sampleBytes = BytesPerSample(kind);
  if (sampleBytes == 0 || channels == 0) {
    out.clear();
    return 0;
  }
  const size_t frameBytes = sampleBytes * channels;
  if (!silent && frames > bytes.size() / frameBytes) frames = bytes.size() / frameBytes;
  out.resize(frames * 2);
  if (silent) {
    std::fill(out.begin(), out.end(), int16_t{0});
    return frames;
  }
  const size_t right = channels > 1 ? sampleBytes : 0;
  for (size_t i = 0; i < frames; ++i) {
    const uint8_t* frame = bytes.data() + i * frameBytes;
    out[2 * i] = SampleToInt16(ReadSample(kind, frame));
    out[2 * i + 1] = SampleToInt16(ReadSample(kind, frame + right));
  }
  return frames;
}

}  // namespace kelm
