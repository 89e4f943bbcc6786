#include "core/adb_runner.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/win_handle.h"
#include "fake_adb/fake_adb_dir.h"

namespace kelm {
namespace {

using test::ExitCodeAfter;
using test::FakeAdbDir;
using test::OpenProcessById;
using test::WaitUntil;

struct OutputCase {
  const char* name;
  std::string actions;
  int32_t code;
  std::string output;
};

TEST(RunAdbTest, CollectsBothStreamsAndTheExitCode) {
  const std::string big(100000, 'b');
  const std::vector<OutputCase> cases = {
      {"stdout only", "out List of devices attached\\r\\nS1\\tdevice\\r\\n\\r\\n\n", 0,
       "List of devices attached\r\nS1\tdevice\r\n\r\n"},
      {"stderr with a failure code", "err error: no devices/emulators found\\n\nexit 1\n", 1,
       "error: no devices/emulators found\n"},
      {"both streams in order", "out partial \nerr and error\nexit 7\n", 7, "partial and error"},
      {"more than one pipe buffer", "out " + big + "\nsleep 50\nout !\n", 0, big + "!"},
      {"silent", "", 0, ""},
  };
  for (const OutputCase& c : cases) {
    FakeAdbDir fake;
    fake.Script("when 1 * devices\n" + c.actions);
    std::string output = "stale";
    EXPECT_EQ(RunAdb(fake.Adb(), L"devices", output, 10000), c.code) << c.name;
    EXPECT_EQ(output, c.output) << c.name;
    EXPECT_EQ(fake.Calls(), std::vector<std::string>{"devices"}) << c.name;
  }
}

TEST(RunAdbTest, PassesTheArgumentTextUnchanged) {
  FakeAdbDir fake;
  fake.Script("when 1 * -s R58M12AB reverse tcp:27183 tcp:27183\nout ok\n");
  std::string output;
  EXPECT_EQ(RunAdb(fake.Adb(), L"-s R58M12AB reverse tcp:27183 tcp:27183", output, 10000), 0);
  EXPECT_EQ(output, "ok");
}

TEST(RunAdbTest, MissingProgramFails) {
  test::TempDir dir;
  std::string output = "stale";
  EXPECT_EQ(RunAdb(dir.File(L"adb.exe"), L"devices", output, 1000), -1);
  EXPECT_TRUE(output.empty());
}

// Runs RunAdb on a thread while the test opens the fake's process, so that the
// process's end can still be examined after RunAdb has closed its own handle.
struct Watched {
  int32_t result = 0;
  std::string output;
  ULONGLONG elapsedMs = 0;
  WinHandle process;
};

Watched RunWatched(const FakeAdbDir& fake, uint32_t timeoutMs, HANDLE cancel = nullptr) {
  Watched w;
  const ULONGLONG start = GetTickCount64();
  std::thread run([&] {
    w.result = RunAdb(fake.Adb(), L"devices", w.output, timeoutMs, cancel);
    w.elapsedMs = GetTickCount64() - start;
  });
  if (WaitUntil([&] { return !fake.Pids().empty(); }, 5000)) {
    w.process = OpenProcessById(fake.Pids().front());
  }
  run.join();
  return w;
}

TEST(RunAdbTest, HangingAdbIsKilledAfterTheTimeOut) {
  FakeAdbDir fake;
  fake.Script("when 1 * devices\nout partial\nhang\n");
  const Watched w = RunWatched(fake, 400);
  EXPECT_EQ(w.result, -1);
  EXPECT_EQ(w.output, "partial");
  EXPECT_GE(w.elapsedMs, 400u);
  EXPECT_LT(w.elapsedMs, 5000u);
  ASSERT_TRUE(w.process);
  EXPECT_EQ(ExitCodeAfter(w.process, 0), 1) << "adb still runs or ended by itself";
}

TEST(RunAdbTest, ChatteringAdbIsStillKilledAtTheTimeOut) {
  FakeAdbDir fake;
  fake.Script("when 1 * devices\nflood\n");
  const Watched w = RunWatched(fake, 400);
  EXPECT_EQ(w.result, -1);
  EXPECT_LT(w.elapsedMs, 5000u);
  EXPECT_EQ(ExitCodeAfter(w.process, 0), 1);
}

TEST(RunAdbTest, CancelEventEndsAdbAtOnce) {
  FakeAdbDir fake;
  fake.Script("when 1 * devices\nhang\n");
  WinHandle cancel(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread signal([&] {
    WaitUntil([&] { return !fake.Pids().empty(); }, 5000);
    Sleep(100);
    SetEvent(cancel.Get());
  });
  const Watched w = RunWatched(fake, 30000, cancel.Get());
  signal.join();
  EXPECT_EQ(w.result, -1);
  EXPECT_LT(w.elapsedMs, 5000u);
  EXPECT_EQ(ExitCodeAfter(w.process, 0), 1);
}

// adb's devices command may start adb's server, which inherits the output pipe and
// lives on: the result must not wait for the pipe to close.
TEST(RunAdbTest, BackgroundServerHoldingThePipeDoesNotHold) {
  FakeAdbDir fake;
  fake.Script(
      "when 1 * devices\nout * daemon started successfully\\n\nserver 20000\n"
      "out List of devices attached\\nS1\\tdevice\\n\n");
  const Watched w = RunWatched(fake, 10000);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.output, "* daemon started successfully\nList of devices attached\nS1\tdevice\n");
  EXPECT_LT(w.elapsedMs, 5000u);
  ASSERT_TRUE(WaitUntil([&] { return !fake.ServerPids().empty(); }, 5000));
  EXPECT_EQ(ExitCodeAfter(OpenProcessById(fake.ServerPids().front()), 0), -1)
      << "the server should still be running";
}

// adb gets the pipe's write end and nothing else that this process could inherit,
// so a long-lived server does not keep unrelated handles (such as sockets) open.
TEST(RunAdbTest, AdbInheritsOnlyItsOutputPipe) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readRaw = nullptr;
  HANDLE writeRaw = nullptr;
  ASSERT_TRUE(CreatePipe(&readRaw, &writeRaw, &sa, 0));
  WinHandle readEnd(readRaw);
  WinHandle writeEnd(writeRaw);
  FakeAdbDir fake;
  fake.Script("when 1 * devices\nserver 20000\n");
  std::string output;
  ASSERT_EQ(RunAdb(fake.Adb(), L"devices", output, 10000), 0);
  ASSERT_TRUE(WaitUntil([&] { return !fake.ServerPids().empty(); }, 5000));
  writeEnd.Reset();
  // With no other writer left, the pipe reports its end at once.
  DWORD waiting = 0;
  EXPECT_FALSE(PeekNamedPipe(readEnd.Get(), nullptr, 0, nullptr, &waiting, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

}  // namespace
}  // namespace kelm
