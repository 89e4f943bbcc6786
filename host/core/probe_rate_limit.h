#pragma once
// How many discovery probes get an answer: a few per second from each source, and
// a bounded number in all, so a flood (or spoofed senders) cannot turn the
// responder into an amplifier. Portable: the caller supplies the time.
#include <cstddef>
#include <cstdint>
#include <map>

namespace kelm {

class ProbeRateLimiter {
 public:
  static constexpr uint32_t kPerSourcePerSecond = 3;
  static constexpr uint32_t kTotalPerSecond = 50;
  static constexpr size_t kMaxSources = 512;

  // True when a probe from `sourceIPv4` arriving at `nowMs` may be answered.
  bool Allow(uint32_t sourceIPv4, uint64_t nowMs);

 private:
  // A token bucket: up to `capacity` answers at once, refilled at that many per second.
  struct Bucket {
    uint64_t milliTokens = 0;  // tokens × 1000
    uint64_t lastMs = 0;
    bool started = false;
  };
  static bool Take(Bucket& bucket, uint32_t capacity, uint64_t nowMs);

  std::map<uint32_t, Bucket> sources_;
  Bucket total_;
};

}  // namespace kelm
