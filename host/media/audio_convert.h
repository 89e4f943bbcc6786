#pragma once
// Turns captured output-device samples into the interleaved 16-bit stereo the device plays.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kelm {

// The sample layouts the output device's mix format may use that we can convert.
enum class AudioSampleKind : uint8_t { Unsupported = 0, Float32, Pcm16, Pcm32 };

// Classifies a mix format: `isFloat`/`isPcm` come from the format tag (or the extensible
// sub-format), `validBits` is 0 for a plain (non-extensible) format.
AudioSampleKind ClassifySampleFormat(bool isFloat, bool isPcm, uint16_t bitsPerSample, uint16_t validBits,
                                     bool extensible);

// One normalised sample (-1..1 nominal) as a 16-bit sample: clamped, scaled by 32767 and
// rounded half away from zero; NaN becomes silence.
int16_t SampleToInt16(double value);

// Converts `frames` frames of `channels` interleaved samples of `kind` into stereo
// int16 frames written over `out` (resized to frames x 2): channel 0 is left, channel 1
// right, a mono source is doubled, further channels are dropped. A silent buffer gives
// zeros. `bytes` must hold frames x channels samples; anything shorter converts only the
// whole frames it holds. Returns the number of frames written.
size_t ConvertToStereo16(AudioSampleKind kind, std::span<const uint8_t> bytes, size_t frames, uint32_t channels,
                         bool silent, std::vector<int16_t>& out);

}  // namespace kelm
