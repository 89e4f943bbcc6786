#pragma once
// The device's feedback on the video stream (key-frame requests, limits, frame
// acknowledgements, pause, pending size) and the delay-based bitrate adaptation.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace kelm {

class StreamFeedback {
 public:
  using Clock = std::function<uint64_t()>;  // monotonic microseconds

  struct SentFrame {
    uint64_t stamp = 0;
    uint64_t sendMicros = 0;
    uint64_t bytes = 0;
  };
  struct StreamSize {
    uint16_t panelWidth = 0, panelHeight = 0, displayWidth = 0, displayHeight = 0;
  };

  static constexpr uint32_t kMinKbps = 1000;
  static constexpr uint32_t kMaxKbps = 200000;
  static constexpr uint32_t kMinFps = 10;
  static constexpr uint32_t kMaxFps = 240;
  static constexpr uint32_t kFloorKbps = 1500;         // lowest rate the adaptation picks
  static constexpr uint32_t kRemoteStartKbps = 8000;   // start rate over the internet
  static constexpr uint32_t kInitialKbps = 20000;
  static constexpr size_t kMaxSentFrames = 256;
  static constexpr uint64_t kUnknownDelay = ~uint64_t{0};
  static constexpr uint64_t kWindowMicros = 500000;
  static constexpr uint64_t kBaseRefreshMicros = 10000000;
  static constexpr uint64_t kStallMicros = 1000000;
  static constexpr uint64_t kDownHoldMicros = 700000;
  static constexpr uint64_t kUpHoldMicros = 1500000;
  static constexpr double kCongestedMs = 60.0;
  static constexpr double kClearMs = 20.0;
  static constexpr int32_t kMaxInFlight = 10;

  // `clock` defaults to the process's monotonic clock; tests pass a virtual one.
  explicit StreamFeedback(Clock clock = {});
  StreamFeedback(const StreamFeedback&) = delete;
  StreamFeedback& operator=(const StreamFeedback&) = delete;

  // Set by a key-frame request or a resume; the video loop exchanges it with false.
  std::atomic<bool> keyFrameRequested{true};

  // Session thread.
  void SetLimits(uint32_t kbps, uint32_t fps);
  void OnFrameAck(std::optional<uint64_t> stamp);
  void SetPendingResize(const StreamSize& size);
  // True when the state changed; resuming also asks for a key frame.
  bool SetPaused(bool paused);
  void ResetRate(uint32_t negotiatedKbps, bool remote);

  // Video thread.
  bool CanSendFrame(uint32_t fps);
  std::optional<StreamSize> TakePendingResize();
  // The new rate, or 0 for no change; acts at most once per 500 ms window.
  uint32_t AdaptBitrate();
  // A device limit: the new ceiling and the adaptation's new starting point.
  void ApplyLimit(uint32_t kbps);
  uint32_t TakePendingMaxKbps() { return pendingMaxKbps_.exchange(0); }
  uint32_t TakePendingMaxFps() { return pendingMaxFps_.exchange(0); }
  // Counts a video-frame message as in flight and remembers it for its acknowledgement.
  void RecordSentFrame(uint64_t stamp, uint64_t bytes);

  bool Paused() const { return paused_.load(); }
  int32_t FramesInFlight() const { return framesInFlight_.load(); }
  uint64_t LastAckMicros() const { return lastAckMicros_.load(); }

  // A consistent copy of the adaptation state, for diagnostics and tests.
  struct RateState {
    uint32_t ceilingKbps, currentKbps;
    uint64_t baseDelayMicros, windowMinDelayMicros;
    double delayEstimateMicros;
    uint32_t delaySamples;
    uint64_t deliveredBytes, windowStartMicros, lastChangeMicros, lastBaseResetMicros;
    size_t sentFrames;
  };
  RateState Rate() const;

 private:
  uint64_t Now() const { return clock_(); }

  Clock clock_;
  std::atomic<uint32_t> pendingMaxKbps_{0};
  std::atomic<uint32_t> pendingMaxFps_{0};
  std::atomic<bool> paused_{false};
  std::atomic<int32_t> framesInFlight_{0};
  std::atomic<uint64_t> lastAckMicros_{0};

  mutable std::mutex rateMutex_;
  std::deque<SentFrame> sentFrames_;
  uint32_t ceilingKbps_ = kInitialKbps;
  uint32_t currentKbps_ = kInitialKbps;
  uint64_t baseDelayMicros_ = kUnknownDelay;
  uint64_t windowMinDelayMicros_ = kUnknownDelay;
  double delayEstimateMicros_ = 0;
  uint32_t delaySamples_ = 0;
  uint64_t deliveredBytes_ = 0;
  uint64_t windowStartMicros_ = 0;
  uint64_t lastChangeMicros_ = 0;
  uint64_t lastBaseResetMicros_ = 0;

  std::mutex resizeMutex_;
  std::optional<StreamSize> pendingResize_;
};

// The rate arithmetic of one acting window, kept apart so it can be checked alone.
// Up: trunc(cur x 1.15) + 100. Down: min(max(delivered, 1500), trunc(cur x 0.75)).
// Bound: min(max(proposal, 1500), ceiling), so a ceiling below 1500 holds steady.
uint32_t RaisedKbps(uint32_t currentKbps);
uint32_t LoweredKbps(uint32_t currentKbps, uint64_t deliveredKbps);
uint32_t BoundKbps(uint64_t proposalKbps, uint32_t ceilingKbps);

}  // namespace kelm
