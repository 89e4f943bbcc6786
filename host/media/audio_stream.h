#pragma once
// A session's PC audio stream: turns the device's audio request into a capture and sends
// what it records as audio format and audio data messages.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/messages.h"
#include "media/audio_capture.h"

namespace kelm {

class AudioStream {
 public:
  using SendFn = std::function<bool(const msg::Message&)>;
  using UserTextFn = std::function<void(const std::string&)>;

  static constexpr uint8_t kAudioOn = 0x01;
  static constexpr uint8_t kMuteSpeakers = 0x02;
  static constexpr uint8_t kChannels = 2;

  AudioStream(std::string label, SendFn send, UserTextFn userText);
  ~AudioStream();
  AudioStream(const AudioStream&) = delete;
  AudioStream& operator=(const AudioStream&) = delete;

  // From the device's audio message: bit 0 on, bit 1 mute the PC speakers meanwhile.
  void Apply(uint8_t flags);
  void Stop();
  bool On() const { return on_.load(); }

  // The capture's sink: the format message whenever the rate changes, then the batch.
  void OnPcm(const int16_t* samples, size_t frames, uint32_t sampleRate);

 private:
  std::string label_;
  SendFn send_;
  UserTextFn userText_;
  std::mutex mutex_;
  AudioCapture capture_;
  std::atomic<uint32_t> lastRate_{0};
  std::atomic<bool> on_{false};
};

}  // namespace kelm
