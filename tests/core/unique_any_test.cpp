// The owners: each value is released exactly once, on every path.
#include "core/unique_any.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/secret_bytes.h"

namespace kelm {
namespace {

std::vector<int> g_closed;
void CloseFake(int value) { g_closed.push_back(value); }
int g_undone = 0;
void UndoFake() { ++g_undone; }

using FakeHandle = UniqueAny<int, &CloseFake, -1>;

TEST(UniqueAnyTest, ClosesOnceAndNeverTheEmptyValue) {
  g_closed.clear();
  {
    FakeHandle empty;
    EXPECT_FALSE(empty);
    FakeHandle a(3);
    EXPECT_TRUE(a);
    FakeHandle b(std::move(a));  // moves, closes nothing
    EXPECT_FALSE(a);
    EXPECT_EQ(b.Get(), 3);
    b.Reset(4);  // closes 3
    *b.Put() = 5;  // closes 4, then holds 5
    FakeHandle c(6);
    c = std::move(b);  // closes 6, takes 5
    EXPECT_EQ(c.Release(), 5);  // handed out: not closed
    FakeHandle d(7);
  }  // closes 7
  EXPECT_EQ(g_closed, (std::vector<int>{3, 4, 6, 7}));
}

TEST(UniqueAnyTest, UndoRunsOnlyWhenArmedAndOnce) {
  g_undone = 0;
  { UniqueCall<&UndoFake> idle; }
  EXPECT_EQ(g_undone, 0);
  {
    UniqueCall<&UndoFake> started(true);
    UniqueCall<&UndoFake> moved(std::move(started));
    EXPECT_FALSE(started);
    EXPECT_TRUE(moved);
  }
  EXPECT_EQ(g_undone, 1);
}

TEST(UniqueAnyTest, ScopeExitRunsUnlessDismissed) {
  int runs = 0;
  { ScopeExit count([&] { ++runs; }); }
  {
    ScopeExit skipped([&] { ++runs; });
    skipped.Dismiss();
  }
  EXPECT_EQ(runs, 1);
}

TEST(SecretBytesTest, CopiesAreIndependentAndMovesLeaveNothingBehind) {
  SecretBytes a = std::vector<uint8_t>{1, 2, 3};
  SecretBytes copy = a;
  EXPECT_EQ(copy, a);
  SecretBytes moved = std::move(a);
  EXPECT_TRUE(a.empty());  // NOLINT: the moved-from secret is empty, not a second copy
  EXPECT_EQ(moved, (std::vector<uint8_t>{1, 2, 3}));
  copy.Wipe();
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(moved.size(), 3u);
  moved = SecretBytes{9};
  EXPECT_EQ(moved, (std::vector<uint8_t>{9}));
}

}  // namespace
}  // namespace kelm
