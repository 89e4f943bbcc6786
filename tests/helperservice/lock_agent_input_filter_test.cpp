// Which host messages the lock agent injects, as a table.
#include "lock_agent_input_filter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace kelm::service {
namespace {

struct FilterCase {
  const char* what;
  uint8_t pipeType;
  std::vector<uint8_t> body;
  bool locked;
  bool inFront;
  bool accepted;
};

TEST(LockAgentInputFilterTest, Table) {
  const FilterCase cases[] = {
      {"pen", 2, {10, 1, 2}, true, true, true},
      {"touch", 2, {11, 0}, true, true, true},
      {"key", 2, {12, 0x41, 0}, true, true, true},
      {"text", 2, {13, 'a'}, true, true, true},
      {"mouse", 2, {15, 0, 0}, true, true, true},
      {"a type byte alone", 2, {12}, true, true, true},
      {"pipe type 1 (a frame)", 1, {12, 0x41}, true, true, false},
      {"pipe type 3", 3, {12, 0x41}, true, true, false},
      {"pipe type 0", 0, {12, 0x41}, true, true, false},
      {"empty body", 2, {}, true, true, false},
      {"device type 14", 2, {14, 0}, true, true, false},
      {"clipboard 25", 2, {25, 0, 'x'}, true, true, false},
      {"device type 0", 2, {0}, true, true, false},
      {"device type 9", 2, {9, 0}, true, true, false},
      {"device type 16", 2, {16, 0}, true, true, false},
      {"device type 255", 2, {255}, true, true, false},
      {"key while unlocked", 2, {12, 0x41}, false, true, false},
      {"key with the lock screen not in front", 2, {12, 0x41}, true, false, false},
      {"neither", 2, {13, 'a'}, false, false, false},
  };
  for (const FilterCase& c : cases) {
    EXPECT_EQ(LockAgentAcceptsInput(c.pipeType, c.body, c.locked, c.inFront), c.accepted) << c.what;
  }
}

}  // namespace
}  // namespace kelm::service
