#pragma once
// A settable microsecond clock for deterministic rate and feedback tests.
#include <atomic>
#include <cstdint>
#include <functional>

namespace kelm::test {

class VirtualClock {
 public:
  explicit VirtualClock(uint64_t start = 1'000'000'000) : now_(start) {}
  uint64_t Now() const { return now_.load(); }
  void Advance(uint64_t micros) { now_.fetch_add(micros); }
  void Set(uint64_t micros) { now_.store(micros); }
  std::function<uint64_t()> Fn() {
    return [this] { return now_.load(); };
  }

 private:
  std::atomic<uint64_t> now_;
};

}  // namespace kelm::test
