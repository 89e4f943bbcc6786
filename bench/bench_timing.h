#pragma once
// Timing helpers for benchmarks: a monotonic stopwatch, a run-for-a-while loop and
// order statistics of samples.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace kelm::bench {

class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double Seconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }
  double Micros() const { return Seconds() * 1e6; }

 private:
  std::chrono::steady_clock::time_point start_;
};

struct LoopResult {
  uint64_t iterations = 0;
  double seconds = 0;
  double MicrosEach() const { return iterations ? seconds * 1e6 / static_cast<double>(iterations) : 0; }
};

// Calls `step` until `seconds` have passed (at least `minIterations` times); stops
// early when a step returns false.
inline LoopResult RunFor(double seconds, uint64_t minIterations, const std::function<bool()>& step) {
  Stopwatch watch;
  LoopResult r;
  while (r.iterations < minIterations || watch.Seconds() < seconds) {
    if (!step()) break;
    ++r.iterations;
  }
  r.seconds = watch.Seconds();
  return r;
}

// The q-quantile (0..1) by the nearest-rank method; 0 for no samples.
inline double Quantile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  size_t rank = static_cast<size_t>(q * static_cast<double>(samples.size()) + 0.999999);
  rank = std::clamp<size_t>(rank, 1, samples.size());
  return samples[rank - 1];
}

inline double MegabytesPerSecond(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

}  // namespace kelm::bench
