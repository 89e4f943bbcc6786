#include "core/clock.h"

#include <windows.h>

namespace kelm {

uint64_t NowMicros() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? f.QuadPart : 1;
  }();
  LARGE_INTEGER c{};
  QueryPerformanceCounter(&c);
  // Quotient and remainder apart, so no product overflows for any realistic uptime.
  const int64_t whole = c.QuadPart / frequency;
  const int64_t rest = c.QuadPart % frequency;
  return static_cast<uint64_t>(whole * 1000000 + (rest * 1000000) / frequency);
}

}  // namespace kelm
