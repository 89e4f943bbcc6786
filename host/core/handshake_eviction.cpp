// The eviction choice among connections still in their handshake.
#include "core/handshake_eviction.h"

#include <map>

namespace kelm {

Eviction ChooseHandshakeToEvict(std::span<const PendingHandshake> pending, const PendingHandshake& newcomer) {
  std::map<std::string, size_t> perSource;
  for (const PendingHandshake& p : pending) ++perSource[p.source];
  const auto oldestFrom = [&](const std::string& source) {
    for (size_t i = 0; i < pending.size(); ++i) {
      if (pending[i].source == source) return i;
    }
    return size_t{0};
  };
  if (newcomer.capPerSource && perSource[newcomer.source] >= kMaxPendingHandshakesPerSource) {
    return {EvictionReason::kSourceFull, oldestFrom(newcomer.source)};
  }
  if (pending.size() < kMaxPendingHandshakes) return {};
  // The busiest source; between equals, the one whose oldest came first.
  std::string busiest;
  size_t most = 0;
  for (const PendingHandshake& p : pending) {
    if (perSource[p.source] > most) {
      most = perSource[p.source];
      busiest = p.source;
    }
  }
  return {EvictionReason::kTableFull, oldestFrom(busiest)};
}

}  // namespace kelm
