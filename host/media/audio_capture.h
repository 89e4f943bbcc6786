#pragma once
// Captures what the PC plays on a thread of its own and hands it out as 16-bit stereo PCM.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/win_handle.h"

namespace kelm {

class AudioSource;

class AudioCapture {
 public:
  using Sink = std::function<void(const int16_t* samples, size_t frames, uint32_t sampleRate)>;

  // Shared by the capture object, its capture thread and its watchdogs, so it outlives
  // a stopped capture until those threads end.
  struct State {
    std::atomic<bool> stop{false};
    std::atomic<bool> muteRequested{false};
    bool mutedByCapture = false;  // capture thread only
    std::mutex mutex;             // guards the two callbacks
    Sink sink;
    std::function<void()> blocked;
    WinHandle finished;  // manual reset; set when the capture thread ends

    // Hands a batch to the sink, unless the capture was stopped meanwhile.
    void Deliver(const int16_t* samples, size_t frames, uint32_t sampleRate);
  };

  // What the capture thread records from; WASAPI loopback unless a test replaced it.
  using SourceFactory = std::function<std::unique_ptr<AudioSource>()>;
  static void SetSourceFactory(SourceFactory factory);  // empty: WASAPI again

  AudioCapture();
  ~AudioCapture();
  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  void Start(Sink sink, std::function<void()> blocked);
  void Stop();
  bool Running() const { return state_ != nullptr; }
  // The request to keep the PC speakers muted while capturing.
  void SetMuteRequested(bool mute);

  // Start-up recovery: unmutes speakers a previous run muted and did not restore.
  static void RecoverMutedSpeakers();

  // Stop's wait for the capture thread.
  static constexpr DWORD kStopWaitMs = 2000;

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;  // joined by Stop, or handed to the lingering threads when blocked
};

// One way of recording: runs on the capture thread (COM multithreaded) until the
// state's stop flag, delivering batches through State::Deliver.
class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual void Capture(const std::shared_ptr<AudioCapture::State>& state) = 0;
};

// The watchdog of one stream opening: unless Opened() is called within the time-out,
// it warns and tells the user that something (usually security software) blocks audio.
class OpenWatchdog {
 public:
  static constexpr DWORD kTimeoutMs = 12000;
  explicit OpenWatchdog(const std::shared_ptr<AudioCapture::State>& state);
  ~OpenWatchdog();  // the opener gave up: the watchdog stands down too, and is joined
  OpenWatchdog(const OpenWatchdog&) = delete;
  OpenWatchdog& operator=(const OpenWatchdog&) = delete;
  void Opened();

 private:
  WinHandle done_;
  std::thread thread_;
};

// Follows the state's mute request: while `capturing` and asked to, this capture holds
// the process-wide speaker mute; otherwise it lets go of it. Capture thread only.
void UpdateSpeakerMute(AudioCapture::State& state, bool capturing);

// The product's source: per-process loopback of everything but this process tree,
// falling back to a loopback of the default output device.
std::unique_ptr<AudioSource> MakeWasapiLoopbackSource();

}  // namespace kelm
