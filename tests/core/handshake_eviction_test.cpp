// The choice of the handshake that makes room: per source, then busiest source first.
#include "core/handshake_eviction.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelm {
namespace {

std::vector<PendingHandshake> Sources(std::initializer_list<const char*> sources, bool cap = true) {
  std::vector<PendingHandshake> out;
  for (const char* s : sources) out.push_back({s, cap});
  return out;
}

TEST(HandshakeEviction, Table) {
  struct Case {
    const char* what;
    std::vector<PendingHandshake> pending;
    PendingHandshake newcomer;
    EvictionReason reason;
    size_t index;
  };
  std::vector<PendingHandshake> flood(15, PendingHandshake{"10.0.0.9", true});
  flood.insert(flood.begin() + 3, PendingHandshake{"10.0.0.5", true});  // a device among them
  std::vector<PendingHandshake> usbFlood(16, PendingHandshake{"127.0.0.1", false});
  std::vector<PendingHandshake> spread;
  for (int i = 0; i < 16; ++i) spread.push_back({"10.0.1." + std::to_string(i % 8), true});
  const Case cases[] = {
      {"empty", {}, {"10.0.0.1", true}, EvictionReason::kNone, 0},
      {"one from the source", Sources({"10.0.0.1"}), {"10.0.0.1", true}, EvictionReason::kNone, 0},
      {"source at its cap", Sources({"10.0.0.2", "10.0.0.1", "10.0.0.1"}), {"10.0.0.1", true},
       EvictionReason::kSourceFull, 1},
      {"other sources are not touched", Sources({"10.0.0.1", "10.0.0.1"}), {"10.0.0.2", true},
       EvictionReason::kNone, 0},
      {"full table, busiest source's oldest", flood, {"10.0.0.7", true}, EvictionReason::kTableFull, 0},
      {"USB shares one address: only the table counts",
       Sources({"127.0.0.1", "127.0.0.1", "127.0.0.1"}, false), {"127.0.0.1", false}, EvictionReason::kNone, 0},
      {"full USB table", usbFlood, {"127.0.0.1", false}, EvictionReason::kTableFull, 0},
      {"equal sources: the oldest's", spread, {"10.0.2.1", true}, EvictionReason::kTableFull, 0},
  };
  for (const Case& c : cases) {
    const Eviction e = ChooseHandshakeToEvict(c.pending, c.newcomer);
    EXPECT_EQ(e.reason, c.reason) << c.what;
    if (c.reason != EvictionReason::kNone) EXPECT_EQ(e.index, c.index) << c.what;
    if (c.reason == EvictionReason::kTableFull) {
      EXPECT_NE(c.pending[e.index].source, "10.0.0.5") << c.what;  // never the lone device
    }
  }
}

TEST(HandshakeEviction, AFloodNeverEvictsTheDeviceFromAnotherSource) {
  // A device in its handshake while one source keeps arriving: every eviction falls on the flood.
  std::vector<PendingHandshake> pending = {{"127.0.0.1", false}};
  for (int arrival = 0; arrival < 1000; ++arrival) {
    const PendingHandshake newcomer{"127.0.0.2", false};
    const Eviction e = ChooseHandshakeToEvict(pending, newcomer);
    if (e.reason != EvictionReason::kNone) {
      ASSERT_EQ(pending[e.index].source, "127.0.0.2") << arrival;
      pending.erase(pending.begin() + static_cast<ptrdiff_t>(e.index));
    }
    pending.push_back(newcomer);
    ASSERT_LE(pending.size(), kMaxPendingHandshakes);
  }
  EXPECT_EQ(pending.front().source, "127.0.0.1");
}

}  // namespace
}  // namespace kelm
