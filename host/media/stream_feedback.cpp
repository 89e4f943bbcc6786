// Frame acknowledgements, flow control and delay-based bitrate adaptation.
#include "media/stream_feedback.h"

#include <algorithm>
#include <cmath>

#include "core/clock.h"
#include "core/log.h"

namespace kelm {
namespace {

// b - a, or 0 when the clock reads earlier than a.
uint64_t Since(uint64_t now, uint64_t a) { return now > a ? now - a : 0; }

}  // namespace

uint32_t RaisedKbps(uint32_t currentKbps) {
  const double raised = std::trunc(static_cast<double>(currentKbps) * 1.15) + 100.0;
  return static_cast<uint32_t>(std::min(raised, 4294967295.0));
}

uint32_t LoweredKbps(uint32_t currentKbps, uint64_t deliveredKbps) {
  const uint64_t lowered = static_cast<uint64_t>(std::trunc(static_cast<double>(currentKbps) * 0.75));
  return static_cast<uint32_t>(std::min(std::max<uint64_t>(deliveredKbps, StreamFeedback::kFloorKbps), lowered));
}

uint32_t BoundKbps(uint64_t proposalKbps, uint32_t ceilingKbps) {
  return static_cast<uint32_t>(
      std::min<uint64_t>(std::max<uint64_t>(proposalKbps, StreamFeedback::kFloorKbps), ceilingKbps));
}

StreamFeedback::StreamFeedback(Clock clock) : clock_(clock ? std::move(clock) : Clock(NowMicros)) {}

void StreamFeedback::SetLimits(uint32_t kbps, uint32_t fps) {
  if (kbps != 0) pendingMaxKbps_.store(std::clamp(kbps, kMinKbps, kMaxKbps));
  if (fps != 0) pendingMaxFps_.store(std::clamp(fps, kMinFps, kMaxFps));
}

void StreamFeedback::OnFrameAck(std::optional<uint64_t> stamp) {
  // Never below zero, even when an increment races with this decrement.
  int32_t inFlight = framesInFlight_.load();
  while (inFlight > 0 && !framesInFlight_.compare_exchange_weak(inFlight, inFlight - 1)) {
  }
  if (!stamp) {
    lastAckMicros_.store(Now());
    return;
  }
  const uint64_t now = Now();
  {
    std::lock_guard lock(rateMutex_);
    // Frames acknowledged out of order or lost are forgotten.
    while (!sentFrames_.empty() && sentFrames_.front().stamp != *stamp) sentFrames_.pop_front();
    if (!sentFrames_.empty()) {
      const SentFrame sent = sentFrames_.front();
      sentFrames_.pop_front();
      const uint64_t delay = Since(now, sent.sendMicros);
      deliveredBytes_ += sent.bytes;
      delayEstimateMicros_ =
          delaySamples_ == 0 ? static_cast<double>(delay) : 0.8 * delayEstimateMicros_ + 0.2 * static_cast<double>(delay);
      ++delaySamples_;
      windowMinDelayMicros_ = std::min(windowMinDelayMicros_, delay);
      baseDelayMicros_ = std::min(baseDelayMicros_, delay);
    }
  }
  lastAckMicros_.store(Now());
}

void StreamFeedback::SetPendingResize(const StreamSize& size) {
  std::lock_guard lock(resizeMutex_);
  pendingResize_ = size;
}

std::optional<StreamFeedback::StreamSize> StreamFeedback::TakePendingResize() {
  std::lock_guard lock(resizeMutex_);
  return std::exchange(pendingResize_, std::nullopt);
}

bool StreamFeedback::SetPaused(bool paused) {
  if (paused_.exchange(paused) == paused) return false;
  if (!paused) keyFrameRequested.store(true);
  return true;
}

void StreamFeedback::ResetRate(uint32_t negotiatedKbps, bool remote) {
  const uint64_t now = Now();
  std::lock_guard lock(rateMutex_);
  ceilingKbps_ = negotiatedKbps;
  const uint32_t start = remote ? std::min(negotiatedKbps, kRemoteStartKbps) : negotiatedKbps;
  currentKbps_ = std::max(start, kFloorKbps);
  sentFrames_.clear();
  baseDelayMicros_ = kUnknownDelay;
  windowMinDelayMicros_ = kUnknownDelay;
  delayEstimateMicros_ = 0;
  delaySamples_ = 0;
  deliveredBytes_ = 0;
  windowStartMicros_ = lastChangeMicros_ = lastBaseResetMicros_ = now;
}

bool StreamFeedback::CanSendFrame(uint32_t fps) {
  const int32_t least = std::max<int32_t>(static_cast<int32_t>(fps / 30), 2);
  int32_t limit = least;
  {
    std::lock_guard lock(rateMutex_);
    if (baseDelayMicros_ != kUnknownDelay) {
      const uint64_t interval = 1000000 / std::max<uint32_t>(fps, 1);
      const uint64_t byDelay = baseDelayMicros_ / std::max<uint64_t>(interval, 1) + 2;
      limit = static_cast<int32_t>(std::min<uint64_t>(std::max<uint64_t>(byDelay, least), kMaxInFlight));
    }
  }
  if (framesInFlight_.load() >= limit) {
    // A device that stopped acknowledging (or never did) must not stall the stream.
    const uint64_t lastAck = lastAckMicros_.load();
    if (lastAck == 0 || Since(Now(), lastAck) > kStallMicros) framesInFlight_.store(0);
  }
  return framesInFlight_.load() < limit;
}

uint32_t StreamFeedback::AdaptBitrate() {
  std::lock_guard lock(rateMutex_);
  const uint64_t now = Now();
  const uint64_t elapsed = Since(now, windowStartMicros_);
  if (elapsed < kWindowMicros) return 0;
  windowStartMicros_ = now;
  if (Since(now, lastBaseResetMicros_) > kBaseRefreshMicros) {
    // The base is the lowest delay of the last ten seconds, so it can rise again.
    if (windowMinDelayMicros_ != kUnknownDelay) baseDelayMicros_ = windowMinDelayMicros_;
    windowMinDelayMicros_ = kUnknownDelay;
    lastBaseResetMicros_ = now;
  }
  const uint64_t delivered = deliveredBytes_ * 8000 / elapsed;
  const uint32_t samples = delaySamples_;
  deliveredBytes_ = 0;
  delaySamples_ = 0;
  if (samples < 3 || baseDelayMicros_ == kUnknownDelay) return 0;

  const double queuing = (delayEstimateMicros_ - static_cast<double>(baseDelayMicros_)) / 1000.0;
  const uint32_t cur = currentKbps_;
  const uint64_t sinceChange = Since(now, lastChangeMicros_);
  uint64_t proposal = cur;
  if (queuing > kCongestedMs && sinceChange > kDownHoldMicros) {
    proposal = LoweredKbps(cur, delivered);
  } else if (queuing < kClearMs && cur < ceilingKbps_ && sinceChange > kUpHoldMicros) {
    proposal = RaisedKbps(cur);
  }
  const uint32_t next = BoundKbps(proposal, ceilingKbps_);
  if (next == cur) return 0;
  LogDebug("Bitrate {} -> {} kbps (queuing {:.0f} ms, base {} ms, delivered {} kbps)", cur, next, queuing,
           baseDelayMicros_ / 1000, delivered);
  currentKbps_ = next;
  lastChangeMicros_ = now;
  return next;
}

void StreamFeedback::ApplyLimit(uint32_t kbps) {
  const uint64_t now = Now();
  std::lock_guard lock(rateMutex_);
  ceilingKbps_ = kbps;
  currentKbps_ = std::max(kbps, kFloorKbps);
  lastChangeMicros_ = now;
}

void StreamFeedback::RecordSentFrame(uint64_t stamp, uint64_t bytes) {
  framesInFlight_.fetch_add(1);
  const uint64_t now = Now();
  std::lock_guard lock(rateMutex_);
  sentFrames_.push_back({stamp, now, bytes});
  if (sentFrames_.size() > kMaxSentFrames) sentFrames_.pop_front();
}

StreamFeedback::RateState StreamFeedback::Rate() const {
  std::lock_guard lock(rateMutex_);
  return {ceilingKbps_,        currentKbps_,      baseDelayMicros_,   windowMinDelayMicros_,
          delayEstimateMicros_, delaySamples_,    deliveredBytes_,    windowStartMicros_,
          lastChangeMicros_,   lastBaseResetMicros_, sentFrames_.size()};
}

}  // namespace kelm
