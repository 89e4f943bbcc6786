// The lock agent table with real processes: one agent per session however many callers
// race, an ended agent replaced, every agent ended at stop.
#include "lock_agent_map.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/win_handle.h"
#include "support/process.h"

namespace kelm::service {
namespace {

// A process_holder that lives `ms` milliseconds.
WinHandle StartSleeper(uint32_t ms) {
  std::wstring commandLine = L"\"" + test::SiblingExe(L"process_holder.exe") + L"\" sleep " + std::to_wstring(ms);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                      &pi)) {
    ADD_FAILURE() << "process_holder did not start: " << GetLastError();
    return {};
  }
  CloseHandle(pi.hThread);
  return WinHandle(pi.hProcess);
}

TEST(LockAgentMapTest, RacingStartsForOneSessionStartOneAgentAndStopEndsIt) {
  LockAgentMap agents;
  std::atomic<int> starts{0};
  std::vector<WinHandle> copies;  // every started process, to see each one end
  std::mutex copiesMutex;
  const auto starter = [&] {
    ++starts;
    // The slow CreateProcessAsUserW of the service, where a second caller used to slip in.
    Sleep(200);
    WinHandle process = StartSleeper(60000);
    HANDLE copy = nullptr;
    DuplicateHandle(GetCurrentProcess(), process.Get(), GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    std::lock_guard lock(copiesMutex);
    copies.emplace_back(copy);
    return process;
  };
  std::vector<std::thread> callers;
  for (int i = 0; i < 4; ++i) callers.emplace_back([&] { agents.StartIfNone(1, starter); });
  for (std::thread& t : callers) t.join();
  EXPECT_EQ(starts.load(), 1);
  EXPECT_EQ(agents.RunningCount(), 1u);

  // Another session gets an agent of its own.
  EXPECT_TRUE(agents.StartIfNone(2, starter));
  EXPECT_EQ(agents.RunningCount(), 2u);

  agents.TerminateAll();
  EXPECT_EQ(agents.RunningCount(), 0u);
  ASSERT_EQ(copies.size(), 2u);
  for (const WinHandle& process : copies) {
    ASSERT_EQ(WaitForSingleObject(process.Get(), 5000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.Get(), &code);
    EXPECT_EQ(code, 0u);
  }
}

TEST(LockAgentMapTest, AnEndedAgentIsReplacedAndAFailedStartKeepsNothing) {
  LockAgentMap agents;
  int starts = 0;
  EXPECT_TRUE(agents.StartIfNone(3, [&] {
    ++starts;
    return StartSleeper(0);
  }));
  // While it lives no second start; once it has ended the next lock starts a new one.
  for (int i = 0; i < 100 && agents.RunningCount() != 0; ++i) Sleep(50);
  ASSERT_EQ(agents.RunningCount(), 0u);
  EXPECT_TRUE(agents.EndedCleanly(3));
  EXPECT_FALSE(agents.EndedCleanly(5));
  EXPECT_TRUE(agents.StartIfNone(3, [&] {
    ++starts;
    return StartSleeper(60000);
  }));
  EXPECT_FALSE(agents.StartIfNone(3, [&] {
    ++starts;
    return WinHandle();
  }));
  EXPECT_EQ(starts, 2);
  EXPECT_EQ(agents.RunningCount(), 1u);
  EXPECT_FALSE(agents.EndedCleanly(3));

  // A start that failed (no handle) is tried again at the next lock.
  EXPECT_TRUE(agents.StartIfNone(4, [&] { return WinHandle(); }));
  EXPECT_TRUE(agents.StartIfNone(4, [&] { return WinHandle(); }));
  agents.TerminateAll();
}

}  // namespace
}  // namespace kelm::service
