// The display code against Wine's real display calls: the one display, the console
// commands of the real tavro.exe, and extend mode end to end with the test driver
// answering with Wine's one display path.
#include <gtest/gtest.h>

#include <regex>

#include "display_test_support.h"
#include "fake_driver.h"
#include "media/display_config.h"
#include "media/display_enum.h"
#include "media/monitor_activation.h"
#include "media/session_display.h"
#include "session_harness.h"
#include "support/log_capture.h"
#include "support/process.h"

namespace kelm {
namespace {

DISPLAYCONFIG_PATH_INFO OnlyPath() {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  EXPECT_TRUE(QueryActiveDisplayConfig(paths, modes));
  EXPECT_EQ(paths.size(), 1u);
  return paths.empty() ? DISPLAYCONFIG_PATH_INFO{} : paths.front();
}

TEST(LiveDisplay, TheOneDisplayThroughTheRealCalls) {
  test::ScopedRegistryKey registry;
  const auto displays = EnumerateDisplays();
  ASSERT_EQ(displays.size(), 1u);
  const DISPLAYCONFIG_PATH_INFO path = OnlyPath();
  EXPECT_EQ(FindActiveTarget(path.targetInfo.adapterId, path.targetInfo.id), displays[0].deviceName);
  EXPECT_FALSE(FindActiveTarget(path.targetInfo.adapterId, path.targetInfo.id + 77));
  const uint64_t start = GetTickCount64();
  EXPECT_EQ(WaitForMonitorActive(path.targetInfo.adapterId, path.targetInfo.id, 10000), displays[0].deviceName);
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_EQ(CountVirtualDisplays(), 0);
  // No virtual monitor: exclusive mode is refused and leaves nothing behind.
  EXPECT_FALSE(EnterExclusiveDisplays());
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
  // Wine answers the scale requests with errors: no scale, nothing set.
  EXPECT_FALSE(GetDisplayScaleInfo(displays[0].deviceName));
  EXPECT_FALSE(SetDisplayScale(displays[0].deviceName, 150));
}

TEST(LiveDisplay, ListDisplaysCommandPrintsTheDisplay) {
  const test::ProcessResult r =
      test::RunProcess(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --list-displays", 30000);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
  std::smatch m;
  const std::regex line(
      R"(^0: \\\\\.\\DISPLAY\d+  (.+)  (\d+)x(\d+) at \(0,0\)  scale (\d+)% \(recommended (\d+)%, max (\d+)%\)  \[primary\]\r?\n$)");
  ASSERT_TRUE(std::regex_search(r.out, m, line)) << "[" << r.out << "]";
  EXPECT_EQ(std::stoi(m[2]), GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(std::stoi(m[3]), GetSystemMetrics(SM_CYSCREEN));
  EXPECT_EQ(m[4], "0");  // Wine has no scale steps
  EXPECT_EQ(r.err, "");
}

TEST(LiveDisplay, RemoveMonitorsCommandWithoutTheDriver) {
  const test::ProcessResult r =
      test::RunProcess(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --remove-monitors", 30000);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 1u) << r.out << r.err;
  EXPECT_NE(r.err.find("Display driver not found"), std::string::npos) << r.out << r.err;
}

TEST(LiveDisplay, ExtendEndToEndOnTheRealDisplayPath) {
  test::ScopedRegistryKey registry;
  test::TempDir dir;
  test::LogCapture log{dir.File(L"extend.log")};
  const DISPLAYCONFIG_PATH_INFO path = OnlyPath();
  auto fake = std::make_shared<test::FakeDriver>();
  fake->MapToPath(path.targetInfo.adapterId, path.targetInfo.id);
  VirtualDisplayDriver driver(fake);
  test::SessionHarness harness(driver);
  harness.parts.display = [](VirtualDisplayDriver& d, const std::string& label) {
    return std::make_unique<SessionDisplay>(d, label);
  };
  // The monitor asked for has the screen's own size, so the Xvfb screen keeps its mode.
  test::HelloFields hello;
  hello.displayMode = 0;
  hello.displayWidth = static_cast<uint16_t>(GetSystemMetrics(SM_CXSCREEN));
  hello.displayHeight = static_cast<uint16_t>(GetSystemMetrics(SM_CYSCREEN));
  hello.fps = 30;
  const auto w = harness.Connect(hello);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 0) << w->message;
  EXPECT_EQ(w->displayMode, 0);
  EXPECT_EQ(fake->Count(0x22E404), 1u);
  ASSERT_TRUE(harness.Send(40, {}));
  harness.WaitForEnd();
  EXPECT_TRUE(fake->MonitorsAlive().empty());
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), hello.displayWidth);
  const std::string text = log.Text();
  EXPECT_NE(text.find("[192.168.1.20] virtual monitor 1 ready: \\\\.\\DISPLAY1 (" + std::to_string(hello.displayWidth) +
                      "x" + std::to_string(hello.displayHeight) + " @ 30 Hz)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[192.168.1.20] virtual monitor 1 removed"), std::string::npos) << text;
}

}  // namespace
}  // namespace kelm
