// kelm-devctl against the prefix's real SetupAPI: install, update, status and uninstall
// with the test package, the hardware-id matching and the command line. Devices outlive
// a run, so every test starts and ends with nothing of ours installed.
#include <gtest/gtest.h>

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "core/paths.h"
#include "core/text.h"
#include "captured_output.h"
#include "devctl/driver_tool.h"
#include "devctl/system_setup_calls.h"
#include "error_line.h"
#include "root_device.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace kelm::devctl::test {
namespace {

using kelm::test::ProcessResult;

constexpr char kUsage[] =
    "Usage:\n  kelm-devctl install <tavroIdd.inf>\n  kelm-devctl uninstall\n  kelm-devctl status\n";
constexpr char kNotInstalled[] = "tavro virtual display device is not installed\n";
constexpr wchar_t kHardwareId[] = L"Root\\tavroIdd";

// Hardware-id lists the helper makes that do not match; cleaned up like ours.
const std::vector<std::vector<std::wstring>> kNonMatching = {{L"Root\\tavroIddX"}, {L"X\\Root\\tavroIdd"}};

ProcessResult Devctl(const std::wstring& args, const std::wstring& currentDir = {}) {
  return kelm::test::RunProcess(L"\"" + kelm::test::SiblingExe(L"kelm-devctl.exe") + L"\" " + args, 60000,
                                currentDir);
}

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

// "InfPath" of the device's driver key, read the way an administrator would.
std::wstring DriverKeyInfPath(const std::wstring& instanceId) {
  const HDEVINFO list = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (list == INVALID_HANDLE_VALUE) return {};
  std::wstring infPath;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (SetupDiOpenDeviceInfoW(list, instanceId.c_str(), nullptr, 0, &device)) {
    const HKEY key = SetupDiOpenDevRegKey(list, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key != INVALID_HANDLE_VALUE) {
      wchar_t value[MAX_PATH + 1] = {};
      DWORD size = sizeof value - sizeof(wchar_t);
      if (RegQueryValueExW(key, L"InfPath", nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size) ==
          ERROR_SUCCESS) {
        infPath = value;
      }
      RegCloseKey(key);
    }
  }
  SetupDiDestroyDeviceInfoList(list);
  return infPath;
}

std::wstring InfFolder() {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  return std::wstring(windows) + L"\\inf\\";
}

class DevctlSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CleanUp();
    ASSERT_TRUE(DevicesWithHardwareId(kHardwareId).empty()) << "a device of ours survived uninstall";
    const std::string inf = kelm::test::ReadFileBytes(ExecutableDir() + L"\\devctl-test\\tavroIdd.inf");
    ASSERT_FALSE(inf.empty());
    ASSERT_TRUE(kelm::test::WriteFileBytes(dir_.File(L"tavroIdd.inf"), inf));
  }
  void TearDown() override { CleanUp(); }

  static void CleanUp() {
    const ProcessResult removed = Devctl(L"uninstall");
    EXPECT_EQ(removed.exitCode, 0u) << removed.err;
    for (const auto& ids : kNonMatching) {
      for (const std::wstring& id : DevicesWithHardwareIds(ids)) RemoveDevice(id);
    }
  }

  kelm::test::TempDir dir_;
};

TEST_F(DevctlSystemTest, InstallUpdateStatusAndUninstallTheTestPackage) {
  ProcessResult r = Devctl(L"status");
  EXPECT_EQ(r.out, kNotInstalled);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 1u);

  r = Devctl(L"install tavroIdd.inf", dir_.Path());
  EXPECT_EQ(r.out, "Created device node Root\\tavroIdd\nDriver installed\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0u);
  const std::vector<std::wstring> devices = DevicesWithHardwareId(kHardwareId);
  ASSERT_EQ(devices.size(), 1u);

  r = Devctl(L"install tavroIdd.inf", dir_.Path());
  EXPECT_EQ(r.out, "Device node already exists, updating driver\nDriver installed\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_EQ(DevicesWithHardwareId(kHardwareId), devices);

  r = Devctl(L"status");
  EXPECT_TRUE(std::regex_match(r.out, std::regex(R"(ROOT\\DISPLAY\\[0-9]{4}: installed, not started\n)"))) << r.out;
  EXPECT_EQ(r.out, Utf8(devices[0]) + ": installed, not started\n");
  EXPECT_EQ(r.exitCode, 0u);

  // The driver install left a driver key naming the package's copy in the inf folder
  // (Windows names it oem<N>.inf; Wine keeps the package's own name).
  const std::wstring package = DriverKeyInfPath(devices[0]);
  ASSERT_TRUE(std::regex_match(Utf8(package), std::regex(R"([^\\/:]+\.inf)"))) << Utf8(package);
  EXPECT_TRUE(kelm::test::FileExists(InfFolder() + package));

  r = Devctl(L"uninstall");
  EXPECT_EQ(r.out, "Removed 1 device(s)\nRemoved driver package " + Utf8(package) + "\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_FALSE(kelm::test::FileExists(InfFolder() + package));
  EXPECT_FALSE(kelm::test::FileExists(InfFolder() + package.substr(0, package.size() - 4) + L".pnf"));
  EXPECT_TRUE(DevicesWithHardwareId(kHardwareId).empty());
  EXPECT_EQ(DriverKeyInfPath(devices[0]), L"");

  r = Devctl(L"status");
  EXPECT_EQ(r.out, kNotInstalled);
  EXPECT_EQ(r.exitCode, 1u);
  r = Devctl(L"uninstall");
  EXPECT_EQ(r.out, "Removed 0 device(s)\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0u);
}

TEST_F(DevctlSystemTest, CommandWordsIgnoreCase) {
  ProcessResult r = Devctl(L"Install tavroIdd.inf", dir_.Path());
  EXPECT_EQ(r.out, "Created device node Root\\tavroIdd\nDriver installed\n");
  EXPECT_EQ(r.exitCode, 0u);
  const std::vector<std::wstring> devices = DevicesWithHardwareId(kHardwareId);
  ASSERT_EQ(devices.size(), 1u);
  r = Devctl(L"iNsTaLl tavroIdd.inf", dir_.Path());
  EXPECT_EQ(r.out, "Device node already exists, updating driver\nDriver installed\n");
  r = Devctl(L"STATUS");
  EXPECT_EQ(r.out, Utf8(devices[0]) + ": installed, not started\n");
  EXPECT_EQ(r.exitCode, 0u);
  const std::wstring package = DriverKeyInfPath(devices[0]);
  r = Devctl(L"UNINSTALL");
  EXPECT_EQ(r.out, "Removed 1 device(s)\nRemoved driver package " + Utf8(package) + "\n");
  EXPECT_EQ(r.exitCode, 0u);
  r = Devctl(L"Status");
  EXPECT_EQ(r.out, kNotInstalled);
  EXPECT_EQ(r.exitCode, 1u);
}

TEST_F(DevctlSystemTest, UsageTextForNoUnknownOrIncompleteCommand) {
  for (const std::wstring args : {L"", L"frobnicate", L"install", L"INSTALL", L"help status", L"--status"}) {
    SCOPED_TRACE(Utf8(args));
    const ProcessResult r = Devctl(args);
    EXPECT_EQ(r.err, kUsage);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 2u);
  }
  EXPECT_TRUE(DevicesWithHardwareId(kHardwareId).empty());
}

TEST_F(DevctlSystemTest, ExtraArgumentsAfterStatusAndUninstallAreIgnored) {
  ASSERT_EQ(Devctl(L"install tavroIdd.inf", dir_.Path()).exitCode, 0u);
  const std::vector<std::wstring> devices = DevicesWithHardwareId(kHardwareId);
  ASSERT_EQ(devices.size(), 1u);
  ProcessResult r = Devctl(L"status tavroIdd.inf --verbose");
  EXPECT_EQ(r.out, Utf8(devices[0]) + ": installed, not started\n");
  EXPECT_EQ(r.exitCode, 0u);
  const std::wstring package = DriverKeyInfPath(devices[0]);
  r = Devctl(L"uninstall now please");
  EXPECT_EQ(r.out, "Removed 1 device(s)\nRemoved driver package " + Utf8(package) + "\n");
  EXPECT_EQ(r.exitCode, 0u);
  r = Devctl(L"uninstall again");
  EXPECT_EQ(r.out, "Removed 0 device(s)\n");
  EXPECT_EQ(r.exitCode, 0u);
}

std::vector<unsigned char> Bytes(const std::wstring& text) {
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  return std::vector<unsigned char>(data, data + text.size() * sizeof(wchar_t));
}

TEST_F(DevctlSystemTest, DriverKeyPackageNamesAreReadWithinTheBuffer) {
  const std::string missing = Utf8(ErrorLine(L"SetupUninstallOEMInf", ERROR_FILE_NOT_FOUND));
  // Under Wine a name too long for "C:\windows\inf\" within MAX_PATH is refused before the
  // call, which would overrun Wine's buffer; 244 characters still fit.
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  const std::string tooLong = wine ? Utf8(ErrorLine(L"SetupUninstallOEMInf", ERROR_FILENAME_EXCED_RANGE)) : missing;
  struct Case {
    const char* label;
    std::vector<unsigned char> infPath;
    std::string err;  // what uninstall reports
  };
  const Case cases[] = {
      // 520 bytes without a NUL do not fit the 518 offered: not collected, nothing to remove.
      {"520 bytes", Bytes(std::wstring(260, L'b')), ""},
      // 518 bytes without a NUL are read as 259 characters; no such package exists.
      {"518 bytes", Bytes(std::wstring(259, L'a')), tooLong},
      {"245 characters", Bytes(std::wstring(245, L'c')), tooLong},
      {"244 characters", Bytes(std::wstring(244, L'd')), missing},
      {"missing package", Bytes(std::wstring(L"tavro-missing.inf", 18)), missing},
      {"without its NUL", Bytes(L"tavro-missing.inf"), missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::wstring device = CreateRootDevice({kHardwareId});
    ASSERT_FALSE(device.empty());
    ASSERT_TRUE(SetDriverKeyInfPath(device, c.infPath));
    const ProcessResult r = Devctl(L"uninstall");
    EXPECT_EQ(r.out, "Removed 1 device(s)\n");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_TRUE(DevicesWithHardwareId(kHardwareId).empty());
  }
}

TEST_F(DevctlSystemTest, MissingOrOverlongInfCreatesNoDevice) {
  std::wstring longPath = std::wstring(200, L'd') + L"\\";
  longPath += std::wstring(300 - longPath.size() - 4, L'f') + L".inf";
  ASSERT_EQ(longPath.size(), 300u);
  // Text that is not ASCII reaches a pipe as UTF-8.
  const std::wstring notAscii = L"caf\u00e9 \u0434\u0440.inf";
  for (const std::wstring& path : {std::wstring(L"missing.inf"), notAscii, longPath}) {
    SCOPED_TRACE(path.size());
    const ProcessResult r = Devctl(L"install \"" + path + L"\"", dir_.Path());
    EXPECT_EQ(r.err, "INF not found: " + Utf8(path) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_TRUE(DevicesWithHardwareId(kHardwareId).empty());
  }
}

TEST_F(DevctlSystemTest, DevicesMatchByAnyHardwareIdIgnoringCase) {
  std::vector<std::wstring> ours;
  for (const auto& ids : {std::vector<std::wstring>{L"PCI\\VEN_X", L"ROOT\\TAVROIDD"},
                          std::vector<std::wstring>{L"Root\\tavroIdd"}}) {
    ours.push_back(CreateRootDevice(ids));
    ASSERT_FALSE(ours.back().empty());
  }
  std::vector<std::wstring> others;
  for (const auto& ids : kNonMatching) {
    others.push_back(CreateRootDevice(ids));
    ASSERT_FALSE(others.back().empty());
  }

  ProcessResult r = Devctl(L"status");
  EXPECT_EQ(r.exitCode, 0u);
  std::vector<std::string> lines;
  for (size_t start = 0, end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(r.out.substr(start, end - start + 1));
  }
  std::vector<std::string> expected;
  for (const std::wstring& id : ours) expected.push_back(Utf8(id) + ": installed, not started\n");
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);

  r = Devctl(L"uninstall");
  EXPECT_EQ(r.out, "Removed 2 device(s)\n");  // the helper's devices have no driver key
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(DevicesWithHardwareId(kHardwareId).empty());
  for (size_t i = 0; i < kNonMatching.size(); ++i) {
    EXPECT_EQ(DevicesWithHardwareIds(kNonMatching[i]), std::vector<std::wstring>{others[i]});
  }
}

TEST_F(DevctlSystemTest, WithoutDiUninstallDeviceEachRemovalFailsAndUninstallGoesOn) {
  const std::wstring device = CreateRootDevice({kHardwareId});
  ASSERT_FALSE(device.empty());
  SystemSetupCalls calls(L"kernel32.dll");  // a system module without DiUninstallDevice
  EXPECT_FALSE(calls.UsesUninstallStandIn());
  CapturedOutput output;
  EXPECT_EQ(DriverTool(calls, output).Run(std::vector<std::wstring_view>{L"uninstall"}), 0);
  EXPECT_EQ(output.out, L"Removed 0 device(s)\n");
  EXPECT_EQ(output.err, ErrorLine(L"DiUninstallDevice", ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(DevicesWithHardwareId(kHardwareId), std::vector<std::wstring>{device});
}

TEST_F(DevctlSystemTest, UnderWineDevicesAreRemovedByTheStandIn) {
  const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  SystemSetupCalls calls;
  EXPECT_EQ(calls.UsesUninstallStandIn(), wine);
  const std::wstring device = CreateRootDevice({kHardwareId});
  ASSERT_FALSE(device.empty());
  CapturedOutput output;
  EXPECT_EQ(DriverTool(calls, output).Run(std::vector<std::wstring_view>{L"uninstall"}), 0);
  EXPECT_EQ(output.out, L"Removed 1 device(s)\n");
  EXPECT_EQ(output.err, L"");
  EXPECT_TRUE(DevicesWithHardwareId(kHardwareId).empty());
}

}  // namespace
}  // namespace kelm::devctl::test
