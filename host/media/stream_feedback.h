#pragma once
// The device's feedback on the video stream (key-frame requests, limits, frame
// acknowledgements, pause, pending size).
//
// PLACEHOLDER until the video stream's rate control is built: it records what the
// device reports and tracks pause, but adapts no bitrate.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>

namespace kelm {

class StreamFeedback {
 public:
  struct StreamSize {
    uint16_t panelWidth = 0, panelHeight = 0, displayWidth = 0, displayHeight = 0;
  };

  std::atomic<bool> keyFrameRequested{true};

  void ResetRate(uint32_t kbps, bool remote) {
    std::lock_guard lock(mutex_);
    ceilingKbps_ = kbps;
    currentKbps_ = std::max<uint32_t>(remote ? std::min<uint32_t>(kbps, 8000) : kbps, 1500);
  }
  void SetLimits(uint32_t kbps, uint32_t fps) {
    pendingMaxKbps_.store(kbps);
    pendingMaxFps_.store(fps);
  }
  void OnFrameAck(std::optional<uint64_t> stamp) {
    if (stamp) lastAckStamp_.store(*stamp);
  }
  // True when the state changed.
  bool SetPaused(bool paused) { return paused_.exchange(paused) != paused; }
  bool Paused() const { return paused_.load(); }
  void SetPendingResize(const StreamSize& size) {
    std::lock_guard lock(mutex_);
    pendingResize_ = size;
  }

 private:
  std::atomic<uint32_t> pendingMaxKbps_{0};
  std::atomic<uint32_t> pendingMaxFps_{0};
  std::atomic<uint64_t> lastAckStamp_{0};
  std::atomic<bool> paused_{false};
  std::mutex mutex_;
  uint32_t ceilingKbps_ = 20000;
  uint32_t currentKbps_ = 20000;
  std::optional<StreamSize> pendingResize_;
};

}  // namespace kelm
