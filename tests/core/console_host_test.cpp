// The real tavro.exe --console, driven by the device-side test client.
#include <gtest/gtest.h>

#include <atomic>

#include "core/console_host.h"
#include "core/host_identity.h"
#include "core/identity_key_standin.h"
#include "core/paths.h"
#include "core/text.h"
#include "fake_adb/fake_adb_dir.h"
#include "support/child_process.h"
#include "support/device_client.h"
#include "support/owner_only_check.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using test::Bytes;

uint16_t TestPort() {
  // Distinct per test process, away from the default port.
  return static_cast<uint16_t>(31000 + GetCurrentProcessId() % 2000);
}

class ConsoleHostTest : public ::testing::Test {
 protected:
  void StartHost(const std::wstring& adb = L" --no-adb", const std::wstring& folder = L"p") {
    const std::wstring line = L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                              profile.File(folder) + L"\" --pin 012345" + adb + L" --no-driver --no-discovery --port " +
                              std::to_wstring(port);
    ASSERT_TRUE(host.Start(line, profile.File(L"out.txt")));
    ASSERT_TRUE(host.WaitForOutput("Press Ctrl+C to quit.")) << host.Output();
  }
  uint32_t StopHost() {
    HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, ConsoleStopEventName(host.Id()).c_str());
    EXPECT_NE(stop, nullptr);
    SetEvent(stop);
    CloseHandle(stop);
    uint32_t code = 0xFFFF;
    EXPECT_TRUE(host.Wait(20000, code));
    return code;
  }

  test::TempDir profile;
  uint16_t port = TestPort();
  test::ChildProcess host;
};

// Runs one device session: handshake, Hello, Welcome, relay details, pings, Bye.
void RunDevice(uint16_t port, const test::DeviceIdentity& identity, bool pair) {
  auto stream = test::ConnectTcp("127.0.0.1", port);
  ASSERT_TRUE(stream);
  test::DeviceClient client(*stream);
  test::HandshakeOptions options;
  options.name = "E2E tablet";
  if (pair) options.pairing = test::PairingCode{0, 0, "012345"};
  const test::HandshakeOutcome o = client.Handshake(identity, options);
  ASSERT_TRUE(o.hostProofValid);
  ASSERT_EQ(o.admissionResult, 0) << o.admissionMessage;
  EXPECT_EQ(o.newlyPaired, pair);

  test::HelloFields hello;
  hello.fps = 500;
  hello.kbps = 500;
  ASSERT_TRUE(client.SendRecord(1, test::BuildHello(hello)));
  uint8_t type = 0;
  Bytes payload;
  ASSERT_TRUE(client.ReadRecord(type, payload));
  ASSERT_EQ(type, 2);
  ASSERT_GE(payload.size(), 24u);
  EXPECT_EQ(payload[6], 0);                                  // status
  EXPECT_EQ(payload[12] | payload[13] << 8, 240);            // fps clamped
  EXPECT_EQ(payload[14] | payload[15] << 8 | payload[16] << 16, 1000);  // kbps clamped
  const size_t nameLength = payload[20] | payload[21] << 8;
  EXPECT_GT(nameLength, 0u);  // the PC's name
  ASSERT_TRUE(client.ReadRecord(type, payload));
  EXPECT_EQ(type, 33);
  for (uint8_t i = 1; i <= 10; ++i) {
    ASSERT_TRUE(client.SendRecord(30, {i, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_TRUE(client.ReadRecord(type, payload));
    ASSERT_EQ(type, 31);
    EXPECT_EQ(Bytes(payload.begin(), payload.begin() + 8), (Bytes{i, 2, 3, 4, 5, 6, 7, 8}));
  }
  ASSERT_TRUE(client.SendRecord(40, {}));
  EXPECT_FALSE(client.ReadRecord(type, payload));  // the host closes the stream
}

TEST_F(ConsoleHostTest, PairsServesAndStopsCleanly) {
  StartHost();
  const std::string started = host.Output();
  EXPECT_NE(started.find("listening on port " + std::to_string(port)), std::string::npos) << started;
  EXPECT_NE(started.find("  PIN for pairing new devices: 012345"), std::string::npos);
  EXPECT_NE(started.find("Display driver disabled - only mirror mode is available."), std::string::npos);

  test::DeviceIdentity device;
  RunDevice(port, device, true);
  ASSERT_TRUE(host.WaitForOutput("] disconnected")) << host.Output();
  RunDevice(port, device, false);  // paired now: no code needed

  EXPECT_EQ(StopHost(), 0u);
  const std::string out = host.Output();
  EXPECT_NE(out.find("paired new device 'E2E tablet'"), std::string::npos) << out;
  EXPECT_NE(out.find("'Hello tablet' connected via USB"), std::string::npos) << out;
  EXPECT_NE(out.find("Shutting down..."), std::string::npos);
  EXPECT_NE(out.find("Host stopped"), std::string::npos);
  EXPECT_NE(test::ReadFileBytes(profile.File(L"p\\devices.json")).find("E2E tablet"), std::string::npos);
}

TEST_F(ConsoleHostTest, BusyPortFailsWithExitOne) {
  StartHost();
  test::ChildProcess second;
  const std::wstring line = L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                            profile.File(L"q") + L"\" --no-adb --no-driver --no-discovery --port " +
                            std::to_wstring(port);
  ASSERT_TRUE(second.Start(line, profile.File(L"second.txt")));
  uint32_t code = 0;
  ASSERT_TRUE(second.Wait(20000, code));
  EXPECT_EQ(code, 1u);
  EXPECT_NE(second.Output().find("ERROR Cannot listen on TCP port " + std::to_string(port) + " (already in use?)"),
            std::string::npos)
      << second.Output();
  EXPECT_EQ(StopHost(), 0u);
}

TEST_F(ConsoleHostTest, MissingAdbIsReportedAndTheHostRunsOn) {
  StartHost(L"");  // no adb anywhere in the test prefix
  EXPECT_NE(host.Output().find(
                "WARN  adb.exe not found - USB connections need adb (Android platform-tools). Use --adb PATH."),
            std::string::npos)
      << host.Output();
  EXPECT_EQ(StopHost(), 0u);
}

TEST_F(ConsoleHostTest, MissingProfileFolderIsCreatedWithItsParents) {
  StartHost(L" --no-adb", L"new\\nested\\profile");
  EXPECT_EQ(StopHost(), 0u);
  const DWORD attributes = GetFileAttributesW(profile.File(L"new\\nested\\profile").c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(ConsoleHostTest, ProfileFolderThatCannotBeMadeIsNamed) {
  ASSERT_TRUE(test::WriteFileBytes(profile.File(L"blocker"), "a file where a folder should go"));
  const std::wstring folder = profile.File(L"blocker\\p");
  const test::ProcessResult r = test::RunProcess(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                                                 folder + L"\" --no-adb --no-driver --no-discovery --port " +
                                                 std::to_wstring(port));
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_NE(r.err.find("ERROR Cannot create the folder \"" + WideToUtf8(folder) + "\": 0x0000010B"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("key storage"), std::string::npos) << r.err;
}

TEST_F(ConsoleHostTest, KeyFileThatCannotBeReadIsNamed) {
  const std::wstring folder = profile.File(L"p");
  SetProfileDir(folder);
  const std::wstring keyFile = IdentityKeyStandIn::FilePath(HostIdentity::KeyName());
  SetProfileDir(L"");
  ASSERT_EQ(CreateFolderWithParents(keyFile), 0u);  // a folder where the key file goes
  const test::ProcessResult r = test::RunProcess(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                                                 folder + L"\" --no-adb --no-driver --no-discovery --port " +
                                                 std::to_wstring(port));
  EXPECT_EQ(r.exitCode, 1u);
  const std::string named = "the identity key file \"" + WideToUtf8(keyFile) + "\" cannot be read: 0x00000005";
  EXPECT_NE(r.err.find("ERROR Could not open or create this PC's identity key: " + named), std::string::npos) << r.err;
}

TEST_F(ConsoleHostTest, StopEventIsForThisUserOnly) {
  StartHost();
  HANDLE stop = OpenEventW(READ_CONTROL, FALSE, ConsoleStopEventName(host.Id()).c_str());
  ASSERT_NE(stop, nullptr);
  EXPECT_EQ(test::KernelObjectOwnerOnlyProblem(stop), "");
  CloseHandle(stop);
  EXPECT_EQ(StopHost(), 0u);
}

TEST_F(ConsoleHostTest, RefusesToStartWhenTheStopEventAlreadyExists) {
  const std::wstring line = L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                            profile.File(L"p") + L"\" --no-adb --no-driver --no-discovery --port " +
                            std::to_wstring(port);
  test::ChildProcess::Options suspended;
  suspended.suspended = true;
  ASSERT_TRUE(host.Start(line, profile.File(L"out.txt"), suspended));
  // A stranger who guessed the process id made the event first.
  HANDLE planted = CreateEventW(nullptr, TRUE, FALSE, ConsoleStopEventName(host.Id()).c_str());
  ASSERT_NE(planted, nullptr);
  ASSERT_TRUE(host.Resume());
  uint32_t code = 0;
  ASSERT_TRUE(host.Wait(20000, code)) << host.Output();
  EXPECT_EQ(code, 1u);
  const std::string out = host.Output();
  EXPECT_NE(out.find("ERROR Another program already created the stop event Local\\tavro.ConsoleStop." +
                     std::to_string(host.Id()) + " - not starting"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Press Ctrl+C to quit."), std::string::npos);
  EXPECT_EQ(out.find("listening on port"), std::string::npos) << out;
  // The stranger's event was neither set nor obeyed.
  EXPECT_EQ(WaitForSingleObject(planted, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(planted);
}

TEST_F(ConsoleHostTest, RelativeAdbPathRunsNoAdbFromTheCurrentFolderOrPath) {
  test::FakeAdbDir inCurrentFolder;
  test::FakeAdbDir onPath;
  inCurrentFolder.Script("when 1 * devices\nout List of devices attached\\n\n");
  onPath.Script("when 1 * devices\nout List of devices attached\\n\n");
  std::wstring savedPath(32767, L'\0');
  savedPath.resize(GetEnvironmentVariableW(L"PATH", savedPath.data(), static_cast<DWORD>(savedPath.size())));
  SetEnvironmentVariableW(L"PATH", (onPath.Path() + L";" + savedPath).c_str());
  const std::wstring line = L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" +
                            profile.File(L"p") + L"\" --adb adb.exe --no-driver --no-discovery --port " +
                            std::to_wstring(port);
  test::ChildProcess::Options inFolder;
  inFolder.currentDir = inCurrentFolder.Path();
  const bool started = host.Start(line, profile.File(L"out.txt"), inFolder);
  SetEnvironmentVariableW(L"PATH", savedPath.c_str());
  ASSERT_TRUE(started);
  ASSERT_TRUE(host.WaitForOutput("Press Ctrl+C to quit.")) << host.Output();
  // The relative name is taken from the program's folder, where no adb exists.
  const std::wstring programDir = test::SiblingExe(L"");
  EXPECT_NE(host.Output().find("INFO  USB: using " + WideToUtf8(programDir) + "adb.exe"), std::string::npos)
      << host.Output();
  Sleep(2500);  // at least two polling passes
  EXPECT_EQ(StopHost(), 0u);
  EXPECT_TRUE(inCurrentFolder.Calls().empty());
  EXPECT_TRUE(onPath.Calls().empty());
}

TEST(ConsoleDiagnosticsTest, RemoveMonitorsWithoutDriver) {
  const test::ProcessResult r =
      test::RunProcess(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --remove-monitors");
  EXPECT_EQ(r.exitCode, 1u);
  EXPECT_NE(r.err.find("ERROR Display driver not found"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kelm
