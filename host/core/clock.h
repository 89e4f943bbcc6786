#pragma once
#include <cstdint>

namespace kelm {

// Monotonic microseconds from the performance counter.
uint64_t NowMicros();

}  // namespace kelm
