// The pipe client check and the start of a program in a user's session, with the host
// stand-in copied into test install folders.
#include "host_processes.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wtsapi32.h>

#include <string>

#include <nlohmann/json.hpp>

#include "core/paths.h"
#include "core/text.h"
#include "core/win_handle.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace kelm::service {
namespace {

using test::ReadFileBytes;
using test::TempDir;

constexpr char kRefusal[] = "Refused a lock screen pipe client that isn't the installed tavro.exe";

std::wstring InstallStandIn(const TempDir& dir) {
  const std::wstring exe = dir.File(L"tavro.exe");
  EXPECT_TRUE(CopyFileW(test::SiblingExe(L"host_standin.exe").c_str(), exe.c_str(), FALSE));
  return exe;
}

std::wstring UniquePipeName() {
  return L"\\\\.\\pipe\\tavro.test.client-check." + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(GetTickCount64());
}

// Starts `exe` connecting to a fresh pipe and answers IsInstalledHostClient for it.
bool CheckClient(const std::wstring& exe, const std::wstring& installDir) {
  const std::wstring name = UniquePipeName();
  WinHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                  nullptr));
  EXPECT_TRUE(pipe);
  std::wstring cmd = L"\"" + exe + L"\" --connect-pipe " + name;
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  EXPECT_TRUE(CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  WinHandle process(pi.hProcess), thread(pi.hThread);
  if (!ConnectNamedPipe(pipe.Get(), nullptr)) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
  }
  const bool accepted = IsInstalledHostClient(pipe.Get(), installDir);
  pipe.Reset();  // the client ends when the server closes
  WaitForSingleObject(process.Get(), 10000);
  return accepted;
}

TEST(InstalledHostClientTest, AcceptsTheInstalledHostAndRefusesACopyElsewhere) {
  TempDir install, elsewhere, logs;
  test::LogCapture log(logs.File(L"log.txt"));
  const std::wstring installed = InstallStandIn(install);
  const std::wstring copy = InstallStandIn(elsewhere);
  ASSERT_EQ(ReadFileBytes(installed), ReadFileBytes(copy));
  EXPECT_TRUE(CheckClient(installed, install.Path()));
  EXPECT_EQ(log.Text().find(kRefusal), std::string::npos);
  EXPECT_FALSE(CheckClient(copy, install.Path()));
  EXPECT_NE(log.Text().find(kRefusal), std::string::npos);
}

TEST(InstalledHostClientTest, RefusesAClientAlreadyGoneWithoutALine) {
  TempDir install, logs;
  test::LogCapture log(logs.File(L"log.txt"));
  const std::wstring installed = InstallStandIn(install);
  const std::wstring name = UniquePipeName();
  WinHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                  nullptr));
  ASSERT_TRUE(pipe);
  // The stand-in connects and, since it reads until the pipe breaks, is ended by us.
  std::wstring cmd = L"\"" + installed + L"\" --connect-pipe " + name;
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(installed.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  if (!ConnectNamedPipe(pipe.Get(), nullptr)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));
  }
  TerminateProcess(pi.hProcess, 0);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  // Gone once nobody holds the process any more.
  ASSERT_TRUE(test::WaitUntil([&] {
    WinHandle still(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pi.dwProcessId));
    return !still;
  }));
  EXPECT_FALSE(IsInstalledHostClient(pipe.Get(), install.Path()));
  EXPECT_EQ(log.Text(), "");
}

TEST(StartProcessAsUserTest, StartsInTheSessionOnTheDefaultDesktopWithTheTokensEnvironment) {
  TempDir install, logs;
  test::LogCapture log(logs.File(L"log.txt"));
  const std::wstring exe = InstallStandIn(install);
  WinHandle token;
  ASSERT_TRUE(WTSQueryUserToken(1, token.Put())) << GetLastError();
  // Set only in this process: the token's environment block must not carry it.
  ASSERT_TRUE(SetEnvironmentVariableW(L"TAVRO_TEST_PARENT_ONLY", L"1"));
  for (const bool suspended : {true, false}) {
    SCOPED_TRACE(suspended ? "suspended" : "running");
    DeleteFileW(install.File(L"starts.jsonl").c_str());
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(StartProcessAsUser(token.Get(), exe, L"\"" + exe + L"\" --wait-ms 0", install.Path(), suspended, pi));
    WinHandle process(pi.hProcess), thread(pi.hThread);
    if (suspended) {
      EXPECT_EQ(WaitForSingleObject(process.Get(), 700), static_cast<DWORD>(WAIT_TIMEOUT));
      EXPECT_FALSE(test::FileExists(install.File(L"starts.jsonl")));
      ASSERT_NE(ResumeThread(thread.Get()), static_cast<DWORD>(-1));
    }
    ASSERT_EQ(WaitForSingleObject(process.Get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0));
    const auto record = nlohmann::json::parse(ReadFileBytes(install.File(L"starts.jsonl")), nullptr, false);
    ASSERT_TRUE(record.is_object());
    EXPECT_EQ(record["pid"], pi.dwProcessId);
    EXPECT_EQ(record["session"], 1);
    EXPECT_EQ(record["commandLine"], WideToUtf8(L"\"" + exe + L"\" --wait-ms 0"));
    EXPECT_EQ(record["currentDir"], WideToUtf8(install.Path()));
    EXPECT_EQ(record["desktop"], "WinSta0\\Default");
    EXPECT_EQ(record["inheritedTestVariable"], false);
    EXPECT_EQ(record["hasUserProfile"], true);
  }
  EXPECT_EQ(log.Text(), "");
}

TEST(StartProcessAsUserTest, MissingProgramIsAnErrorLine) {
  TempDir dir, logs;
  test::LogCapture log(logs.File(L"log.txt"));
  WinHandle token;
  ASSERT_TRUE(WTSQueryUserToken(1, token.Put()));
  PROCESS_INFORMATION pi{};
  const std::wstring missing = dir.File(L"missing.exe");
  EXPECT_FALSE(StartProcessAsUser(token.Get(), missing, L"\"" + missing + L"\"", dir.Path(), false, pi));
  EXPECT_NE(log.Text().find("ERROR Starting " + WideToUtf8(missing) + " failed: 2"), std::string::npos) << log.Text();
}

TEST(HostRunsInSessionTest, SeesARunningTavroExeInItsSessionOnly) {
  TempDir install;
  const std::wstring exe = InstallStandIn(install);
  std::wstring cmd = L"\"" + exe + L"\" --wait-ms 30000";
  STARTUPINFOW si{sizeof si};
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  WinHandle process(pi.hProcess), thread(pi.hThread);
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(pi.dwProcessId, &session));
  EXPECT_TRUE(HostRunsInSession(session));
  EXPECT_FALSE(HostRunsInSession(session + 7));
  TerminateProcess(process.Get(), 0);
}

}  // namespace
}  // namespace kelm::service
