// Token buckets per source address and for all sources together.
#include "core/probe_rate_limit.h"

#include <algorithm>
#include <iterator>

namespace kelm {

bool ProbeRateLimiter::Take(Bucket& bucket, uint32_t capacity, uint64_t nowMs) {
  const uint64_t full = uint64_t{capacity} * 1000;
  if (!bucket.started) {
    bucket = Bucket{full, nowMs, true};
  } else if (nowMs > bucket.lastMs) {
    // `capacity` tokens a second is `capacity` milli-tokens a millisecond.
    bucket.milliTokens = std::min(full, bucket.milliTokens + (nowMs - bucket.lastMs) * capacity);
    bucket.lastMs = nowMs;
  }
  if (bucket.milliTokens < 1000) {
    return false;
  }
  bucket.milliTokens -= 1000;
  return true;
}

bool ProbeRateLimiter::Allow(uint32_t sourceIPv4, uint64_t nowMs) {
  if (sources_.size() >= kMaxSources && !sources_.contains(sourceIPv4)) {
    // Forget sources whose bucket has refilled: they are back to a fresh start anyway.
    std::erase_if(sources_, [&](const auto& entry) {
      return nowMs >= entry.second.lastMs + 1000;
    });
    if (sources_.size() >= kMaxSources) {
      return false;
    }
  }
  Bucket& source = sources_[sourceIPv4];
  // The per-source bucket is checked first so one noisy source cannot use up the
  // shared allowance with probes it would not be answered anyway.
  if (!Take(source, kPerSourcePerSecond, nowMs)) {
    return false;
  }
  return Take(total_, kTotalPerSecond, nowMs);
}

}  // namespace kelm
