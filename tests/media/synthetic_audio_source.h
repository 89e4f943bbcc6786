#pragma once
// A capture source for tests: a sine tone in 10 ms batches, paced by the clock, holding
// the speaker mute as the real per-process capture does.
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

#include "media/audio_capture.h"

namespace kelm::test {

struct SyntheticTone {
  double frequency = 1000.0;
  double amplitude = 0.5;  // of full scale
  // The sample rate of each batch, by batch number (48000 unless a test changes it).
  std::function<uint32_t(uint64_t batch)> rate = [](uint64_t) { return 48000u; };
};

class SyntheticAudioSource final : public AudioSource {
 public:
  explicit SyntheticAudioSource(SyntheticTone tone) : tone_(std::move(tone)) {}

  void Capture(const std::shared_ptr<AudioCapture::State>& state) override {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now();
    double phase = 0;
    std::vector<int16_t> batch;
    for (uint64_t n = 0; !state->stop; ++n) {
      UpdateSpeakerMute(*state, true);
      const uint32_t rate = tone_.rate(n);
      const size_t frames = rate / 100;
      batch.resize(frames * 2);
      for (size_t i = 0; i < frames; ++i) {
        const auto v = static_cast<int16_t>(std::lround(tone_.amplitude * 32767.0 * std::sin(phase)));
        batch[2 * i] = batch[2 * i + 1] = v;
        phase += 2 * std::numbers::pi * tone_.frequency / rate;
        if (phase > 2 * std::numbers::pi) phase -= 2 * std::numbers::pi;
      }
      state->Deliver(batch.data(), frames, rate);
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
  }

 private:
  SyntheticTone tone_;
};

// Installs a source factory for one test and counts the captures it starts.
class ScopedAudioSource {
 public:
  explicit ScopedAudioSource(std::function<std::unique_ptr<AudioSource>()> make) {
    AudioCapture::SetSourceFactory([this, make = std::move(make)] {
      ++starts;
      return make();
    });
  }
  explicit ScopedAudioSource(SyntheticTone tone = {})
      : ScopedAudioSource([tone] { return std::make_unique<SyntheticAudioSource>(tone); }) {}
  ~ScopedAudioSource() { AudioCapture::SetSourceFactory(nullptr); }
  ScopedAudioSource(const ScopedAudioSource&) = delete;
  ScopedAudioSource& operator=(const ScopedAudioSource&) = delete;

  std::atomic<int> starts{0};
};

}  // namespace kelm::test
