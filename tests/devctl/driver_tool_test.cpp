// The driver tool's commands against scripted device-installation calls: failures with
// chosen codes, reboot requests, node states and driver keys the system here never gives.
#include <gtest/gtest.h>

#include <windows.h>
#include <newdev.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "devctl/driver_tool.h"
#include "error_line.h"
#include "fake_setup_calls.h"
#include "support/temp_dir.h"

namespace kelm::devctl::test {
namespace {

using State = FakeDevice::State;

constexpr wchar_t kCreated[] = L"Created device node Root\\tavroIdd\n";
constexpr wchar_t kInstalled[] = L"Driver installed\n";
constexpr wchar_t kTrustHint[] =
    L"The driver signature is not trusted. Run scripts\\install-driver.ps1, which installs the test certificate, "
    L"and enable test signing if required.\n";

struct ToolRun {
  FakeSetupCalls calls;
  CapturedOutput output;
  int Run(std::vector<std::wstring_view> args) { return DriverTool(calls, output).Run(args); }
};

// An .inf file that exists, for the steps after the path check.
class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(kelm::test::WriteFileBytes(inf_, "[Version]\r\n")); }
  kelm::test::TempDir dir_;
  std::wstring inf_ = dir_.File(L"tavroIdd.inf");
  ToolRun run_;
};

TEST_F(InstallTest, CreatesTheNodeWithTheHardwareIdAndForcesTheDriver) {
  EXPECT_EQ(run_.Run({L"install", inf_}), 0);
  EXPECT_EQ(run_.output.out, std::wstring(kCreated) + kInstalled);
  EXPECT_EQ(run_.output.err, L"");
  ASSERT_EQ(run_.calls.devices.size(), 1u);
  const FakeDevice& created = run_.calls.devices[0];
  EXPECT_EQ(created.state, State::Registered);
  EXPECT_EQ(created.name, L"Display");  // the class name of the package
  EXPECT_EQ(created.createFlags, static_cast<DWORD>(DICD_GENERATE_ID));
  // The id, its NUL and the list's NUL: 15 characters, 30 bytes.
  EXPECT_EQ(*created.hardwareIds, MultiString({L"Root\\tavroIdd"}));
  EXPECT_EQ(created.hardwareIds->size(), 30u);
  EXPECT_EQ(run_.calls.updatedHardwareIds, std::vector<std::wstring>{L"Root\\tavroIdd"});
  EXPECT_EQ(run_.calls.updatedInfPaths, std::vector<std::wstring>{inf_});
  EXPECT_EQ(run_.calls.updateFlags, std::vector<DWORD>{INSTALLFLAG_FORCE});
  EXPECT_EQ(run_.calls.OpenLists(), 0);
}

TEST_F(InstallTest, AnExistingDeviceIsUpdatedNotCreatedAgain) {
  run_.calls.Add(L"ROOT\\DISPLAY\\0003", {L"Root\\tavroIdd"});
  EXPECT_EQ(run_.Run({L"INSTALL", inf_}), 0);
  EXPECT_EQ(run_.output.out, std::wstring(L"Device node already exists, updating driver\n") + kInstalled);
  EXPECT_EQ(run_.calls.devices.size(), 1u);
  EXPECT_EQ(run_.calls.updateFlags, std::vector<DWORD>{INSTALLFLAG_FORCE});
}

TEST_F(InstallTest, AskedRebootIsReported) {
  run_.calls.rebootRequired = true;
  EXPECT_EQ(run_.Run({L"install", inf_}), 0);
  EXPECT_EQ(run_.output.out, std::wstring(kCreated) + L"Driver installed (a reboot is required)\n");
}

struct FailingStep {
  const char* call;
  DWORD error;
  bool deviceRegistered;  // whether a registered device is left behind
  bool elementDropped;    // whether an element was made and dropped with its list
};

void PrintTo(const FailingStep& step, std::ostream* os) { *os << step.call; }

class InstallStepFails : public InstallTest, public ::testing::WithParamInterface<FailingStep> {};

TEST_P(InstallStepFails, PrintsTheErrorLineAndDropsTheElement) {
  const FailingStep& step = GetParam();
  run_.calls.Fail(step.call, step.error);
  EXPECT_EQ(run_.Run({L"install", inf_}), 1);
  const std::wstring name(step.call, step.call + std::strlen(step.call));
  EXPECT_EQ(run_.output.err, ErrorLine(name, step.error));
  const bool updateFailed = name == L"UpdateDriverForPlugAndPlayDevices";
  EXPECT_EQ(run_.output.out, updateFailed ? std::wstring(kCreated) : std::wstring());
  EXPECT_EQ(run_.calls.CountIn(State::Registered), step.deviceRegistered ? 1 : 0);
  EXPECT_EQ(run_.calls.CountIn(State::Pending), 0);  // nothing half-made remains
  EXPECT_EQ(run_.calls.CountIn(State::Dropped), step.elementDropped ? 1 : 0);
  EXPECT_EQ(run_.calls.OpenLists(), 0);
  if (!updateFailed) {
    EXPECT_TRUE(run_.calls.updatedInfPaths.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, InstallStepFails,
    ::testing::Values(FailingStep{"SetupDiGetINFClass", ERROR_INVALID_CLASS, false, false},
                      FailingStep{"SetupDiCreateDeviceInfoList", ERROR_NOT_ENOUGH_MEMORY, false, false},
                      FailingStep{"SetupDiCreateDeviceInfo", ERROR_DEVINST_ALREADY_EXISTS, false, false},
                      FailingStep{"SetupDiSetDeviceRegistryProperty", ERROR_INVALID_DATA, false, true},
                      FailingStep{"DIF_REGISTERDEVICE", ERROR_ACCESS_DENIED, false, true},
                      FailingStep{"UpdateDriverForPlugAndPlayDevices", ERROR_NO_SUCH_DEVINST, true, false}),
    [](const auto& info) { return std::string(info.param.call); });

struct TrustCase {
  DWORD error;
  bool hint;
};

void PrintTo(const TrustCase& c, std::ostream* os) { *os << std::hex << c.error; }

class UpdateDriverTrust : public InstallTest, public ::testing::WithParamInterface<TrustCase> {};

TEST_P(UpdateDriverTrust, OnlySignatureErrorsAddTheHint) {
  run_.calls.Add(L"ROOT\\DISPLAY\\0000", {L"Root\\tavroIdd"});
  run_.calls.Fail("UpdateDriverForPlugAndPlayDevices", GetParam().error);
  EXPECT_EQ(run_.Run({L"install", inf_}), 1);
  const std::wstring line = ErrorLine(L"UpdateDriverForPlugAndPlayDevices", GetParam().error);
  EXPECT_EQ(run_.output.err, GetParam().hint ? line + kTrustHint : line);
}

INSTANTIATE_TEST_SUITE_P(Codes, UpdateDriverTrust,
                         ::testing::Values(TrustCase{0x800B0100, true}, TrustCase{0x800B0109, true},
                                           TrustCase{0xE0000242, true}, TrustCase{0xE0000243, false},
                                           TrustCase{0x800B0101, false}, TrustCase{ERROR_ACCESS_DENIED, false}),
                         [](const auto& info) {
                           char name[16];
                           std::snprintf(name, sizeof name, "x%08lX", static_cast<unsigned long>(info.param.error));
                           return std::string(name);
                         });

TEST(DriverToolPaths, MissingOrOverlongInfTouchesNoDevice) {
  kelm::test::TempDir dir;
  // 300 characters in all; the file exists, but its full path does not fit 260 characters.
  const std::wstring folder = dir.Path() + L"\\" + std::wstring(120, L'd');
  std::wstring longPath = folder + L"\\";
  longPath += std::wstring(300 - longPath.size() - 4, L'f') + L".inf";
  ASSERT_EQ(longPath.size(), 300u);
  ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr));
  ASSERT_TRUE(kelm::test::WriteFileBytes(L"\\\\?\\" + longPath, "[Version]\r\n"));
  for (const std::wstring& path : {std::wstring(L"missing.inf"), longPath}) {
    SCOPED_TRACE(path.size());
    ToolRun run;
    EXPECT_EQ(run.Run({L"install", path}), 1);
    EXPECT_EQ(run.output.err, L"INF not found: " + path + L"\n");
    EXPECT_EQ(run.output.out, L"");
    EXPECT_TRUE(run.calls.calls.empty());
  }
  DeleteFileW((L"\\\\?\\" + longPath).c_str());
  RemoveDirectoryW((L"\\\\?\\" + folder).c_str());
}

TEST(DriverToolCommands, UsageForNoUnknownOrIncompleteCommand) {
  const std::vector<std::vector<std::wstring_view>> cases = {
      {}, {L"frobnicate"}, {L"install"}, {L"INSTALL"}, {L"installx", L"a.inf"}, {L""}};
  for (const auto& args : cases) {
    SCOPED_TRACE(args.empty() ? std::wstring(L"(none)") : std::wstring(args[0]));
    ToolRun run;
    run.calls.Add(L"ROOT\\DISPLAY\\0000", {L"Root\\tavroIdd"});
    EXPECT_EQ(run.Run(args), 2);
    EXPECT_EQ(run.output.err,
              L"Usage:\n  kelm-devctl install <tavroIdd.inf>\n  kelm-devctl uninstall\n  kelm-devctl status\n");
    EXPECT_EQ(run.output.out, L"");
    EXPECT_TRUE(run.calls.calls.empty());
  }
}

struct MatchCase {
  const char* label;
  std::vector<BYTE> ids;
  bool matches;
};

std::vector<BYTE> Unterminated(size_t bytes) { return std::vector<BYTE>(bytes, 'A'); }

TEST(DriverToolMatching, AnyEntryEqualIgnoringCaseMatches) {
  std::vector<BYTE> nearlyFull = MultiString({L"Root\\tavroIdd"});
  const std::vector<MatchCase> cases = {
      {"only", MultiString({L"Root\\tavroIdd"}), true},
      {"second, upper case", MultiString({L"PCI\\VEN_X", L"ROOT\\TAVROIDD"}), true},
      {"mixed case", MultiString({L"rOOT\\TavroiDD"}), true},
      {"longer", MultiString({L"Root\\tavroIddX"}), false},
      {"prefixed", MultiString({L"X\\Root\\tavroIdd"}), false},
      {"shorter", MultiString({L"Root\\tavroId"}), false},
      {"after an empty list end", WideBytes(std::wstring(L"PCI\\VEN_X\0\0Root\\tavroIdd\0\0", 26)), false},
      {"empty list", MultiString({}), false},
      // Fills all 2044 offered bytes without any NUL: read as one long entry.
      {"no terminator", Unterminated(2044), false},
      // More than offered: the read fails, so nothing matches.
      {"too long", MultiString({std::wstring(1100, L'x'), L"Root\\tavroIdd"}), false},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(c.label);
    FakeSetupCalls calls;
    calls.Add(L"ROOT\\DISPLAY\\0000", {}).hardwareIds = c.ids;
    CapturedOutput output;
    DriverTool tool(calls, output);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    const HDEVINFO list = calls.GetClassDevs(DIGCF_ALLCLASSES);
    ASSERT_TRUE(calls.EnumDeviceInfo(list, 0, &device));
    EXPECT_EQ(tool.MatchesHardwareId(list, device), c.matches);
    EXPECT_EQ(calls.hardwareIdOffers, std::vector<DWORD>{2044});
    calls.DestroyDeviceInfoList(list);
  }
  FakeSetupCalls missing;
  missing.Add(L"ROOT\\DISPLAY\\0000", {}).hardwareIds.reset();
  CapturedOutput output;
  EXPECT_EQ(DriverTool(missing, output).Run(std::vector<std::wstring_view>{L"status"}), 1);
}

TEST(DriverToolStatus, OneLinePerMatchingDeviceByItsNodeState) {
  ToolRun run;
  run.calls.Add(L"ROOT\\DISPLAY\\0000", {L"Root\\tavroIdd"}).statusResult = CR_NO_SUCH_DEVINST;
  run.calls.Add(L"PCI\\VEN_1234", {L"PCI\\VEN_1234"}).status = DN_STARTED;  // not ours
  FakeDevice& unsigned_ = run.calls.Add(L"ROOT\\DISPLAY\\0001", {L"Root\\tavroIdd"});
  unsigned_.status = DN_HAS_PROBLEM;
  unsigned_.problem = 52;
  FakeDevice& other = run.calls.Add(L"ROOT\\DISPLAY\\0002", {L"x", L"ROOT\\tavroidd"});
  other.status = DN_HAS_PROBLEM | DN_STARTED;  // the problem is what counts
  other.problem = 28;
  run.calls.Add(L"ROOT\\DISPLAY\\0003", {L"Root\\tavroIdd"}).status = DN_STARTED | 0x2;
  run.calls.Add(L"ROOT\\DISPLAY\\0004", {L"Root\\tavroIdd"}).status = 0;
  run.calls.Add(L"ROOT\\DISPLAY\\0005", {L"Root\\tavroIdd"}).state = State::Removed;
  EXPECT_EQ(run.Run({L"Status", L"extra", L"ignored"}), 0);
  EXPECT_EQ(run.output.out,
            L"ROOT\\DISPLAY\\0000: not present\n"
            L"ROOT\\DISPLAY\\0001: problem code 52 (driver signature not trusted - enable test signing)\n"
            L"ROOT\\DISPLAY\\0002: problem code 28\n"
            L"ROOT\\DISPLAY\\0003: running\n"
            L"ROOT\\DISPLAY\\0004: installed, not started\n");
  EXPECT_EQ(run.output.err, L"");
  EXPECT_EQ(run.calls.OpenLists(), 0);
}

TEST(DriverToolStatus, NoneOrFailedEnumerationIsNotInstalled) {
  for (const bool enumerationFails : {false, true}) {
    ToolRun run;
    run.calls.Add(L"PCI\\VEN_1234", {L"PCI\\VEN_1234"});
    if (enumerationFails) {
      run.calls.Add(L"ROOT\\DISPLAY\\0000", {L"Root\\tavroIdd"});
      run.calls.Fail("SetupDiGetClassDevs", ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(run.Run({L"status"}), 1);
    EXPECT_EQ(run.output.out, L"tavro virtual display device is not installed\n");
    EXPECT_EQ(run.output.err, L"");
  }
}

TEST(DriverToolUninstall, RemovesDevicesThenTheirPackagesInOrder) {
  ToolRun run;
  run.calls.Add(L"ROOT\\DISPLAY\\0000", {L"Root\\tavroIdd"}).infPath = WideBytes(std::wstring(L"oem7.inf\0", 9));
  run.calls.Add(L"PCI\\VEN_1234", {L"PCI\\VEN_1234"}).infPath = WideBytes(std::wstring(L"oem3.inf\0", 9));
  run.calls.Add(L"ROOT\\DISPLAY\\0001", {L"Root\\tavroIdd"});  // no driver key
  run.calls.Add(L"ROOT\\DISPLAY\\0002", {L"ROOT\\TAVROIDD"}).infPath = WideBytes(std::wstring(L"oem12.inf\0", 10));
  EXPECT_EQ(run.Run({L"UNINSTALL", L"whatever"}), 0);
  EXPECT_EQ(run.output.out,
            L"Removed 3 device(s)\n"
            L"Removed driver package oem7.inf\n"
            L"Removed driver package oem12.inf\n");
  EXPECT_EQ(run.output.err, L"");
  EXPECT_EQ(run.calls.uninstalledInfs, (std::vector<std::wstring>{L"oem7.inf", L"oem12.inf"}));
  EXPECT_EQ(run.calls.CountIn(State::Removed), 3);
  EXPECT_EQ(run.calls.devices[1].state, State::Registered);  // not ours
  EXPECT_EQ(run.calls.OpenLists(), 0);
  EXPECT_EQ(run.calls.OpenKeys(), 0);
}

TEST(DriverToolUninstall, NoDeviceRemovesNothing) {
  ToolRun run;
  run.calls.Add(L"PCI\\VEN_1234", {L"PCI\\VEN_1234"}).infPath = WideBytes(std::wstring(L"oem3.inf\0", 9));
  EXPECT_EQ(run.Run({L"uninstall"}), 0);
  EXPECT_EQ(run.output.out, L"Removed 0 device(s)\n");
  EXPECT_TRUE(run.calls.uninstalledInfs.empty());
}

TEST(DriverToolUninstall, InfPathMustEndInsideTheBuffer) {
  // 520 bytes without a NUL do not fit the 518 offered; 518 bytes fit and end at the
  // buffer's last, always zero, character.
  const std::wstring fits(259, L'a');
  ToolRun run;
  run.calls.Add(L"ROOT\\DISPLAY\\0000", {L"Root\\tavroIdd"}).infPath = WideBytes(std::wstring(260, L'b'));
  run.calls.Add(L"ROOT\\DISPLAY\\0001", {L"Root\\tavroIdd"}).infPath = WideBytes(fits);
  EXPECT_EQ(run.Run({L"uninstall"}), 0);
  EXPECT_EQ(run.calls.infPathOffers, (std::vector<DWORD>{518, 518}));
  EXPECT_EQ(run.calls.uninstalledInfs, std::vector<std::wstring>{fits});
  EXPECT_EQ(run.output.out, L"Removed 2 device(s)\nRemoved driver package " + fits + L"\n");
}

TEST(DriverToolUninstall, FailuresArePrintedAndUninstallGoesOn) {
  ToolRun run;
  run.calls.Add(L"ROOT\\DISPLAY\\0000", {L"Root\\tavroIdd"}).infPath = WideBytes(L"oem7.inf");
  run.calls.Add(L"ROOT\\DISPLAY\\0001", {L"Root\\tavroIdd"}).infPath = WideBytes(L"oem8.inf");
  run.calls.Fail("DiUninstallDevice", ERROR_ACCESS_DENIED);
  run.calls.Fail("SetupUninstallOEMInf", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(run.Run({L"uninstall"}), 0);
  EXPECT_EQ(run.output.out, L"Removed 0 device(s)\n");
  const std::wstring device = ErrorLine(L"DiUninstallDevice", ERROR_ACCESS_DENIED);
  const std::wstring package = ErrorLine(L"SetupUninstallOEMInf", ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(run.output.err, device + device + package + package);
  EXPECT_EQ(run.calls.uninstalledInfs, (std::vector<std::wstring>{L"oem7.inf", L"oem8.inf"}));
  EXPECT_EQ(run.calls.CountIn(State::Registered), 2);
  EXPECT_EQ(run.calls.OpenKeys(), 0);
}

TEST(DriverToolErrors, ErrorLineKeepsTheSystemTextAndItsLineEnd) {
  for (const DWORD code : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_FILE_NOT_FOUND}, DWORD{0xE0000242},
                           DWORD{0x800B0100}, DWORD{0x1234ABCD}}) {
    FakeSetupCalls calls;
    CapturedOutput output;
    DriverTool(calls, output).PrintError("SomeCall", code);
    EXPECT_EQ(output.err, ErrorLine(L"SomeCall", code));
    EXPECT_EQ(output.out, L"");
  }
  // A code the system has no text for leaves the text empty after the space.
  FakeSetupCalls calls;
  CapturedOutput output;
  ASSERT_EQ(SystemText(0x1234ABCD), L"");
  DriverTool(calls, output).PrintError("SomeCall", 0x1234ABCD);
  EXPECT_EQ(output.err, L"SomeCall failed: 0x1234ABCD \n");
}

}  // namespace
}  // namespace kelm::devctl::test
