#pragma once
// Which connection still in its secure handshake makes room for a newcomer: a few per
// source, and when the table is full the oldest of the busiest source, so a flood from
// one address never pushes out a device arriving from another. Portable.
#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace kelm {

inline constexpr size_t kMaxPendingHandshakes = 16;
inline constexpr size_t kMaxPendingHandshakesPerSource = 2;

struct PendingHandshake {
  std::string source;  // the peer's address, without its port
  bool capPerSource;   // false where many devices share one address (USB through adb)
};

enum class EvictionReason { kNone, kSourceFull, kTableFull };

struct Eviction {
  EvictionReason reason = EvictionReason::kNone;
  size_t index = 0;  // into the pending list, when reason is not kNone
};

// `pending` lists the handshakes in flight, oldest first; `newcomer` is the connection
// that just arrived.
Eviction ChooseHandshakeToEvict(std::span<const PendingHandshake> pending, const PendingHandshake& newcomer);

}  // namespace kelm
