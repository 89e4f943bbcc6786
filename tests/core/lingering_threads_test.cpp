// The lingering threads: a blocked thread stays owned until it ends, then is joined; a
// thread may hand itself over; none is joined while it still runs.
#include "core/lingering_threads.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/win_handle.h"

namespace kelm {
namespace {

WinHandle ManualEvent() { return WinHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

TEST(LingeringThreadsTest, ABlockedThreadStaysUntilItEndsThenIsJoined) {
  JoinLingeringThreads(5000);  // whatever an earlier test left
  const size_t before = LingeringThreadCount();
  const WinHandle release = ManualEvent();
  std::atomic<bool> ended{false};
  AdoptLingeringThread(std::thread([&release, &ended] {
    WaitForSingleObject(release.Get(), INFINITE);
    ended = true;
  }));
  EXPECT_EQ(LingeringThreadCount(), before + 1);
  const uint64_t start = GetTickCount64();
  EXPECT_EQ(JoinLingeringThreads(100), before + 1);  // still blocked: kept, not joined
  EXPECT_GE(GetTickCount64() - start, 90u);
  EXPECT_FALSE(ended.load());

  SetEvent(release.Get());
  EXPECT_EQ(JoinLingeringThreads(5000), before);
  EXPECT_TRUE(ended.load());  // joined: its last write is visible
}

TEST(LingeringThreadsTest, AThreadMayHandItselfOverAndIsJoinedOnceItEnded) {
  JoinLingeringThreads(5000);
  const size_t before = LingeringThreadCount();
  const WinHandle handedOver = ManualEvent();
  std::thread self;
  std::atomic<bool> ready{false};
  std::thread worker([&] {
    while (!ready.load()) Sleep(1);
    AdoptLingeringThread(std::move(self));  // as an owner stopped from its own thread does
    SetEvent(handedOver.Get());
  });
  self = std::move(worker);
  ready = true;
  ASSERT_EQ(WaitForSingleObject(handedOver.Get(), 5000), WAIT_OBJECT_0);
  EXPECT_FALSE(self.joinable());
  EXPECT_EQ(JoinLingeringThreads(5000), before);
}

TEST(LingeringThreadsTest, AnEndedThreadIsJoinedAtTheNextAdoption) {
  JoinLingeringThreads(5000);
  const size_t before = LingeringThreadCount();
  std::thread first([] {});
  Sleep(50);  // `first` has ended by now
  AdoptLingeringThread(std::move(first));
  const WinHandle release = ManualEvent();
  AdoptLingeringThread(std::thread([&release] { WaitForSingleObject(release.Get(), INFINITE); }));
  EXPECT_EQ(LingeringThreadCount(), before + 1);  // the ended one went at this adoption
  SetEvent(release.Get());
  EXPECT_EQ(JoinLingeringThreads(5000), before);
}

}  // namespace
}  // namespace kelm
