#pragma once
// The relay client's reconnect delays: a randomised exponential back-off that starts
// over once a connection has stayed online long enough.
#include <cstdint>

namespace kelm {

struct BackoffTiming {
  uint32_t baseMs = 1000;          // the first delay's middle
  uint32_t maxBaseMs = 60000;      // the base never doubles beyond this
  uint64_t resetOnlineMs = 60000;  // online this long: start over at baseMs
};

class ReconnectBackoff {
 public:
  explicit ReconnectBackoff(BackoffTiming timing = {}) : timing_(timing), base_(timing.baseMs) {}

  // The delay before the next attempt after a connection that was online for
  // `onlineMs` (0: never online); `unit` is drawn uniformly from [0, 1). Doubles the
  // base for the attempt after.
  uint32_t Next(uint64_t onlineMs, double unit);
  uint32_t BaseMs() const { return base_; }

 private:
  BackoffTiming timing_;
  uint32_t base_;
};

// base x u with u in [0.8, 1.2) taken from `unit` in [0, 1), truncated to whole ms.
uint32_t BackoffDelayMs(uint32_t baseMs, double unit);

}  // namespace kelm
