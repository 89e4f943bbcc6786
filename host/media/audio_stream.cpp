// The session's audio stream.
#include "media/audio_stream.h"

#include "core/clock.h"
#include "core/log.h"

namespace kelm {

AudioStream::AudioStream(std::string label, SendFn send, UserTextFn userText)
    : label_(std::move(label)), send_(std::move(send)), userText_(std::move(userText)) {}

AudioStream::~AudioStream() { Stop(); }

void AudioStream::Apply(uint8_t flags) {
  std::lock_guard lock(mutex_);
  const bool on = (flags & kAudioOn) != 0;
  if (!on && capture_.Running()) {
    capture_.Stop();
    LogInfo("[{}] audio off", label_);
  }
  if (on && !capture_.Running()) {
    lastRate_ = 0;
    capture_.Start([this](const int16_t* samples, size_t frames, uint32_t rate) { OnPcm(samples, frames, rate); },
                   [this] {
                     if (userText_) {
                       userText_("Audio is being blocked. If your antivirus asks about tavro using the microphone or "
                                 "audio, allow it.");
                     }
                   });
    LogInfo("[{}] audio on", label_);
  }
  capture_.SetMuteRequested(on && (flags & kMuteSpeakers) != 0);
  on_ = on;
}

void AudioStream::Stop() {
  std::lock_guard lock(mutex_);
  capture_.Stop();
  on_ = false;
}

void AudioStream::OnPcm(const int16_t* samples, size_t frames, uint32_t sampleRate) {
  if (lastRate_.exchange(sampleRate) != sampleRate) {
    if (!send_(msg::MakeAudioFormat(sampleRate, kChannels))) {
      // The device never learnt this rate: announce it again with the next batch.
      lastRate_ = 0;
      return;
    }
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(samples);
  send_(msg::MakeAudioData(NowMicros(), {bytes, frames * 4}));
}

}  // namespace kelm
