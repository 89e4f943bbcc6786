// Reconnect delays of the relay client.
#include "connect/reconnect_backoff.h"

#include <algorithm>

namespace kelm {
namespace {
constexpr double kSpreadLow = 0.8;
constexpr double kSpreadWidth = 0.4;  // up to, not including, 1.2
}  // namespace

uint32_t BackoffDelayMs(uint32_t baseMs, double unit) {
  unit = std::clamp(unit, 0.0, 1.0);
  const double u = std::min(kSpreadLow + kSpreadWidth * unit, 1.2 - 1e-9);
  return static_cast<uint32_t>(static_cast<double>(baseMs) * u);
}

uint32_t ReconnectBackoff::Next(uint64_t onlineMs, double unit) {
  if (onlineMs >= timing_.resetOnlineMs) base_ = timing_.baseMs;
  const uint32_t delay = BackoffDelayMs(base_, unit);
  base_ = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{base_} * 2, timing_.maxBaseMs));
  return delay;
}

}  // namespace kelm
