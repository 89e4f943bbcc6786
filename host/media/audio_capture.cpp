// The capture thread's life: start, stop with a bounded wait, watchdogs and the mute hold.
#include "media/audio_capture.h"

#include <objbase.h>

#include <thread>

#include "core/com_apartment.h"
#include "core/lingering_threads.h"
#include "core/log.h"
#include "media/speaker_mute.h"

namespace kelm {
namespace {

std::mutex& FactoryMutex() {
  static std::mutex m;
  return m;
}
AudioCapture::SourceFactory& Factory() {
  static AudioCapture::SourceFactory f;
  return f;
}

std::unique_ptr<AudioSource> MakeSource() {
  std::lock_guard lock(FactoryMutex());
  return Factory() ? Factory()() : MakeWasapiLoopbackSource();
}

void CaptureThread(std::shared_ptr<AudioCapture::State> state, std::unique_ptr<AudioSource> source) {
  ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
  source->Capture(state);
  source.reset();
  UpdateSpeakerMute(*state, false);
  com.Reset();
  SetEvent(state->finished.Get());
}

}  // namespace

void AudioCapture::State::Deliver(const int16_t* samples, size_t frames, uint32_t sampleRate) {
  std::lock_guard lock(mutex);
  if (sink) sink(samples, frames, sampleRate);
}

void AudioCapture::SetSourceFactory(SourceFactory factory) {
  std::lock_guard lock(FactoryMutex());
  Factory() = std::move(factory);
}

AudioCapture::AudioCapture() = default;

AudioCapture::~AudioCapture() { Stop(); }

void AudioCapture::Start(Sink sink, std::function<void()> blocked) {
  if (state_) return;
  auto state = std::make_shared<State>();
  state->finished.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->finished) {
    LogWarn("Audio: could not start the capture (no event)");
    return;
  }
  state->sink = std::move(sink);
  state->blocked = std::move(blocked);
  // The thread keeps the state alive after Stop gives up waiting for it.
  thread_ = std::thread(CaptureThread, state, MakeSource());
  state_ = std::move(state);
}

void AudioCapture::Stop() {
  std::shared_ptr<State> state = std::move(state_);
  if (!state) return;
  state->stop = true;
  {
    // From here on the thread cannot call out to whoever started the capture.
    std::lock_guard lock(state->mutex);
    state->sink = nullptr;
    state->blocked = nullptr;
  }
  if (WaitForSingleObject(state->finished.Get(), kStopWaitMs) != WAIT_OBJECT_0) {
    LogWarn("Audio: capture thread is still blocked by the system; it will exit on its own");
    AdoptLingeringThread(std::move(thread_));
  } else if (thread_.joinable()) {
    thread_.join();
  }
}

void AudioCapture::SetMuteRequested(bool mute) {
  if (state_) state_->muteRequested = mute;
}

void AudioCapture::RecoverMutedSpeakers() { RecoverMutedSpeakersFromRegistry(); }

void UpdateSpeakerMute(AudioCapture::State& state, bool capturing) {
  const bool want = capturing && state.muteRequested && !state.stop;
  if (want == state.mutedByCapture) return;
  if (want) {
    MuteSpeakers();
  } else {
    ReleaseSpeakerMute();
  }
  state.mutedByCapture = want;
}

OpenWatchdog::OpenWatchdog(const std::shared_ptr<AudioCapture::State>& state)
    : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!done_) return;
  thread_ = std::thread([state, done = done_.Get()] {
    if (WaitForSingleObject(done, kTimeoutMs) != WAIT_TIMEOUT) return;
    LogWarn("Audio: opening the capture stream is taking long - blocked by security software?");
    std::lock_guard lock(state->mutex);
    if (state->blocked) state->blocked();
  });
}

// The event wakes the watchdog at once; if it has just timed out it only tells the
// owner, which takes no longer than the callback.
OpenWatchdog::~OpenWatchdog() {
  Opened();
  if (thread_.joinable()) thread_.join();
}

void OpenWatchdog::Opened() {
  if (done_) SetEvent(done_.Get());
}

}  // namespace kelm
