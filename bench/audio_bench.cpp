// Figures of the audio stream: one 10 ms batch through the stream and a sealed record,
// and the output-device sample conversion.
#include <array>
#include <cstdint>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "core/crypto.h"
#include "media/audio_convert.h"
#include "media/audio_stream.h"

namespace kelm::bench {
namespace {

constexpr double kSeconds = 1.0;
constexpr size_t kBatchFrames = 480;  // 10 ms at 48 kHz

void OnPcmBench(BenchOut& out) {
  // The send seals the message as the session's record layer does (type byte, payload,
  // AES-GCM), so the figure includes the cost of the send path's cryptography.
  AesGcmKey key;
  std::array<uint8_t, 16> raw{};
  RandomBytes(raw.data(), raw.size());
  if (!key.SetKey({raw.data(), raw.size()})) return out.Fail("audio: no AES key");
  std::array<uint8_t, 12> nonce{};
  std::vector<uint8_t> plain, sealed;
  AudioStream stream("bench", [&](const msg::Message& m) {
    plain.assign(1, static_cast<uint8_t>(m.type));
    plain.insert(plain.end(), m.payload.begin(), m.payload.end());
    sealed.resize(plain.size() + 16);
    ++nonce[0];
    return AesGcmSeal(key, nonce, {}, {plain.data(), plain.size()}, sealed);
  }, nullptr);
  std::vector<int16_t> batch(kBatchFrames * 2, 1234);
  const LoopResult r = RunFor(kSeconds, 100, [&] {
    stream.OnPcm(batch.data(), kBatchFrames, 48000);
    return true;
  });
  out.Figure("audio.on_pcm_10ms_batch", r.MicrosEach(), "us");
}

void ConvertBench(BenchOut& out) {
  std::vector<float> source(kBatchFrames * 2);
  for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<float>(i % 200) / 100.0f - 1.0f;
  const auto* bytes = reinterpret_cast<const uint8_t*>(source.data());
  std::vector<int16_t> converted;
  const LoopResult r = RunFor(kSeconds, 100, [&] {
    return ConvertToStereo16(AudioSampleKind::Float32, {bytes, source.size() * sizeof(float)}, kBatchFrames, 2,
                             false, converted) == kBatchFrames;
  });
  out.Figure("audio.convert_float_stereo", r.MicrosEach() * 1000.0 / kBatchFrames, "ns/frame");
}

TAVRO_BENCH("audio.on_pcm", OnPcmBench);
TAVRO_BENCH("audio.convert", ConvertBench);

}  // namespace
}  // namespace kelm::bench
