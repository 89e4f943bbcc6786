// The session's display set-up, options, rotation and teardown, with the test driver and
// a simulated display configuration; also through a session driven by the device client.
#include "media/session_display.h"

#include <gtest/gtest.h>

#include <format>
#include <map>

#include "display_test_support.h"
#include "fake_driver.h"
#include "media/display_config.h"
#include "media/session_display_rules.h"
#include "session_harness.h"
#include "simulated_displays.h"
#include "support/log_capture.h"

namespace kelm {
namespace {

using test::SimMonitor;
using test::SimulatedDisplays;

constexpr char kInstallText[] =
    "The tavro display driver is not installed (extend mode unavailable). Install it with scripts\\install-driver.ps1 "
    "or use mirror mode.";
const std::wstring kPc1 = L"\\\\.\\DISPLAY1";
const std::wstring kVirtual1 = L"\\\\.\\DISPLAY256";

TEST(SessionDisplayRules, SizesScalesOrientationsAndModes) {
  struct SizeCase {
    uint16_t dw, dh, pw, ph;
    MonitorSize expected;
  };
  const SizeCase sizes[] = {{641, 479, 0, 0, {640, 480}},      {9000, 5000, 0, 0, {7680, 4320}},
                            {0, 0, 1601, 999, {1600, 998}},    {1001, 0, 2000, 701, {1000, 700}},
                            {100, 100, 3000, 3000, {640, 480}}, {7681, 4321, 0, 0, {7680, 4320}}};
  for (const auto& c : sizes) {
    EXPECT_EQ(VirtualMonitorSize(c.dw, c.dh, c.pw, c.ph), c.expected) << c.dw << "x" << c.dh;
  }
  EXPECT_EQ(AutomaticScalePercent(420), 157);
  EXPECT_EQ(AutomaticScalePercent(160), 100);
  EXPECT_EQ(AutomaticScalePercent(0), 100);
  EXPECT_EQ(AutomaticScalePercent(640), 240);
  EXPECT_EQ(OrientedSize({1920, 1080}, true), (MonitorSize{1080, 1920}));
  EXPECT_EQ(OrientedSize({1080, 1920}, false), (MonitorSize{1920, 1080}));
  EXPECT_EQ(NormalisedDisplayMode(1), 1);
  for (uint8_t mode : {0, 2, 7, 255}) EXPECT_EQ(NormalisedDisplayMode(mode), 0) << int{mode};
  EXPECT_EQ(MirrorDisplayIndex(5, 2), 1u);
  EXPECT_EQ(MirrorDisplayIndex(0, 2), 0u);
}

class SessionDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim->Add(SimulatedDisplays::PcScreen(1, 0));
    fake->events = events;
    sim->events = events;
    fake->onAdd = [this](const test::FakeMonitor& m) {
      std::lock_guard lock(mutex);
      requests.push_back(m);
      targets[m.monitorId] = m.targetId;
      if (!activateAdded) return;
      SimMonitor v = SimulatedDisplays::VirtualMonitor(m.targetId, 1920);
      v.adapter = m.adapter;
      v.currentStep = addedStep;
      sim->Add(v);
    };
    fake->onRemove = [this](uint32_t id) {
      std::lock_guard lock(mutex);
      sim->RemoveTarget(targets[id]);
    };
  }

  static msg::Hello Hello(uint8_t mode, uint16_t width = 1920, uint16_t height = 1080) {
    msg::Hello h;
    h.displayMode = mode;
    h.panelWidth = 2560;
    h.panelHeight = 1600;
    h.displayWidth = width;
    h.displayHeight = height;
    h.dpi = 320;
    return h;
  }
  test::FakeMonitor LastRequest() {
    std::lock_guard lock(mutex);
    return requests.back();
  }

  std::shared_ptr<test::EventLog> events = std::make_shared<test::EventLog>();
  test::ScopedRegistryKey registry;
  test::ScopedSimulatedDisplays sim;
  std::shared_ptr<test::FakeDriver> fake = std::make_shared<test::FakeDriver>();
  VirtualDisplayDriver driver{fake};
  test::TempDir dir;
  test::LogCapture log{dir.File(L"session_display.log")};
  std::mutex mutex;
  std::vector<test::FakeMonitor> requests;
  std::map<uint32_t, uint32_t> targets;
  bool activateAdded = true;
  int32_t addedStep = 0;
  std::string error;
};

TEST_F(SessionDisplayTest, MirrorTakesTheIndexedDisplayAndPastTheEndTheLast) {
  sim->Add(SimulatedDisplays::PcScreen(2, 1920));
  const std::pair<uint8_t, std::wstring> cases[] = {{0, kPc1}, {1, L"\\\\.\\DISPLAY2"}, {5, L"\\\\.\\DISPLAY2"}};
  for (const auto& [index, name] : cases) {
    SessionDisplay display(driver, "dev");
    msg::Hello h = Hello(1);
    h.mirrorIndex = index;
    ASSERT_TRUE(display.Setup(h, 60, false, error));
    EXPECT_EQ(display.DisplayName(), name) << int{index};
    EXPECT_TRUE(display.Mirror());
  }
  EXPECT_NE(log.Text().find("[dev] mirroring PC screen 2 (\\\\.\\DISPLAY2)"), std::string::npos);
  EXPECT_EQ(fake->Lookups(), 0);  // mirroring never needs the driver
  EXPECT_TRUE(fake->Calls().empty());

  sim->Update(kPc1, [](SimMonitor& m) { m.active = false; });
  sim->Update(L"\\\\.\\DISPLAY2", [](SimMonitor& m) { m.active = false; });
  SessionDisplay none(driver, "dev");
  EXPECT_FALSE(none.Setup(Hello(1), 60, true, error));
  EXPECT_EQ(error, "No active displays found to mirror.");
}

TEST_F(SessionDisplayTest, ExtendAsksTheDriverForAnEvenClampedMonitor) {
  struct Case {
    uint16_t width, height;
    uint32_t expectedWidth, expectedHeight;
  };
  const Case cases[] = {{641, 479, 640, 480}, {9000, 5000, 7680, 4320}, {0, 0, 2560, 1600}};
  for (const Case& c : cases) {
    SessionDisplay display(driver, "dev");
    msg::Hello h = Hello(0, c.width, c.height);
    h.monitorParamA = 0x1111;
    h.monitorParamB = 0x2222;
    ASSERT_TRUE(display.Setup(h, 75, true, error)) << error;
    const test::FakeMonitor m = LastRequest();
    EXPECT_EQ(m.width, c.expectedWidth);
    EXPECT_EQ(m.height, c.expectedHeight);
    EXPECT_EQ(m.refreshHz, 75u);
    EXPECT_EQ(m.paramA, 0x1111u);
    EXPECT_EQ(m.paramB, 0x2222u);
  }
  EXPECT_TRUE(driver.IsOpen());  // opened on first use
  EXPECT_TRUE(fake->MonitorsAlive().empty());  // each removed when its display went
}

TEST_F(SessionDisplayTest, ExtendWithoutTheDriverGivesTheInstallText) {
  SessionDisplay off(driver, "dev");
  EXPECT_FALSE(off.Setup(Hello(0), 60, false, error));
  EXPECT_EQ(error, kInstallText);
  EXPECT_EQ(fake->Lookups(), 0);

  fake->present = false;
  SessionDisplay missing(driver, "dev");
  error.clear();
  EXPECT_FALSE(missing.Setup(Hello(0), 60, true, error));
  EXPECT_EQ(error, kInstallText);
  EXPECT_EQ(fake->Lookups(), 1);

  SessionDisplay mirror(driver, "dev");
  EXPECT_TRUE(mirror.Setup(Hello(1), 60, false, error));
}

TEST_F(SessionDisplayTest, RefusedOrNeverActivatedMonitorsFailWithTheirTexts) {
  fake->addError = ERROR_NOT_SUPPORTED;
  {
    SessionDisplay display(driver, "dev");
    EXPECT_FALSE(display.Setup(Hello(0), 60, true, error));
    EXPECT_EQ(error, "The display driver could not create a virtual monitor.");
  }
  fake->addError = ERROR_SUCCESS;
  activateAdded = false;
  {
    SessionDisplay display(driver, "dev");
    const uint64_t start = sim->Now();
    EXPECT_FALSE(display.Setup(Hello(0), 60, true, error));
    EXPECT_EQ(error, "Windows did not activate the virtual monitor.");
    EXPECT_GE(sim->Now() - start, 10000u);
    EXPECT_EQ(fake->MonitorsAlive().size(), 1u);  // recorded, removed at teardown
    display.RemoveMonitor();
    EXPECT_TRUE(fake->MonitorsAlive().empty());
  }
  EXPECT_EQ(fake->Count(0x22E408), 1u);  // removed once, not again by the destructor
  EXPECT_NE(log.Text().find("[dev] virtual monitor 1 removed"), std::string::npos);
}

TEST_F(SessionDisplayTest, ExtendSetsTheWantedModeAndReportsTheMonitorReady) {
  SessionDisplay display(driver, "dev");
  ASSERT_TRUE(display.Setup(Hello(0, 2560, 1600), 90, true, error));
  EXPECT_EQ(display.DisplayName(), kVirtual1);
  const auto changes = sim->ModeChanges();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].gdiName, kVirtual1);
  EXPECT_EQ(changes[0].width, 2560u);
  EXPECT_EQ(changes[0].height, 1600u);
  EXPECT_EQ(changes[0].hz, 90u);
  EXPECT_EQ(changes[0].flags, static_cast<DWORD>(CDS_UPDATEREGISTRY));
  EXPECT_NE(log.Text().find("[dev] virtual monitor 1 ready: \\\\.\\DISPLAY256 (2560x1600 @ 90 Hz)"),
            std::string::npos);

  // Already in the wanted mode: nothing to change.
  SessionDisplay same(driver, "dev");
  ASSERT_TRUE(same.Setup(Hello(0, 1920, 1080), 60, true, error));
  EXPECT_EQ(sim->ModeChanges().size(), 1u);

  // A refused mode is a warning; the set-up still stands.
  sim->changeModeResult = DISP_CHANGE_FAILED;
  SessionDisplay refused(driver, "dev");
  EXPECT_TRUE(refused.Setup(Hello(0, 2560, 1600), 90, true, error));
  EXPECT_NE(log.Text().find("[dev] could not set 2560x1600@90 (code -1)"), std::string::npos);
}

TEST_F(SessionDisplayTest, AutomaticScaleFollowsTheDevicesDensity) {
  addedStep = 1;  // new monitors start at 125 %
  msg::Hello dense = Hello(0);
  dense.dpi = 420;
  SessionDisplay a(driver, "a");
  ASSERT_TRUE(a.Setup(dense, 60, true, error));
  a.ApplySettings(0, 0);  // 157 % asked: the nearest step is 150 %
  msg::Hello plain = Hello(0);
  plain.dpi = 160;
  SessionDisplay b(driver, "b");
  ASSERT_TRUE(b.Setup(plain, 60, true, error));
  b.ApplySettings(0, 0);  // 100 %
  b.ApplySettings(200, 0);
  const auto sets = sim->ScaleSets();
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[0].gdiName, kVirtual1);
  EXPECT_EQ(sets[0].relative, 2);
  EXPECT_EQ(sets[1].gdiName, L"\\\\.\\DISPLAY257");
  EXPECT_EQ(sets[1].relative, 0);
  EXPECT_EQ(sets[2].relative, 4);
  EXPECT_FALSE(registry.Read(kSavedDisplayScalesValue));  // the virtual monitor's scale is not remembered
}

TEST_F(SessionDisplayTest, ScreensOffInExtendModeAndBack) {
  SessionDisplay display(driver, "dev");
  ASSERT_TRUE(display.Setup(Hello(0), 60, true, error));
  display.ApplySettings(100, 1);
  EXPECT_EQ(sim->ActiveNames(), (std::vector<std::wstring>{kVirtual1}));
  EXPECT_TRUE(registry.Read(kExclusiveDisplaysValue));
  display.ApplySettings(100, 1);  // already off: not entered twice
  EXPECT_EQ(sim->ConfigSets().size(), 1u);
  display.ApplySettings(100, 0);
  EXPECT_EQ(sim->ActiveNames().size(), 2u);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
}

TEST_F(SessionDisplayTest, MirrorScaleIsHeldAndGivenBack) {
  SessionDisplay display(driver, "dev");
  ASSERT_TRUE(display.Setup(Hello(1), 60, true, error));
  display.ApplySettings(150, 1);  // the screens-off flag means nothing when mirroring
  EXPECT_TRUE(sim->ConfigSets().empty());
  const auto saved = registry.Read(kSavedDisplayScalesValue);
  ASSERT_TRUE(saved);
  const std::wstring text(reinterpret_cast<const wchar_t*>(saved->second.data()), saved->second.size() / 2);
  EXPECT_EQ(text.substr(0, 4), L"125|");
  display.ApplySettings(0, 0);
  EXPECT_FALSE(registry.Read(kSavedDisplayScalesValue));
  const auto sets = sim->ScaleSets();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].relative, 1);
  EXPECT_EQ(sets[1].relative, 0);
}

TEST_F(SessionDisplayTest, VirtualMonitorTurnsWithTheDevice) {
  SessionDisplay display(driver, "dev");
  ASSERT_TRUE(display.Setup(Hello(0, 1920, 1080), 60, true, error));
  display.ApplyOrientation({1000, 1600, 0, 0}, 60);
  display.ApplyOrientation({1600, 1000, 0, 0}, 60);
  display.ApplyOrientation({1600, 1000, 0, 0}, 60);  // already landscape
  const auto changes = sim->ModeChanges();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].width, 1080u);
  EXPECT_EQ(changes[0].height, 1920u);
  EXPECT_EQ(changes[0].flags, 0u);
  EXPECT_EQ(changes[1].width, 1920u);
  EXPECT_EQ(changes[1].height, 1080u);
  std::string text = log.Text();
  EXPECT_EQ(test::Count(text, "[dev] device turned to portrait"), 1u);
  EXPECT_EQ(test::Count(text, "[dev] device turned to landscape"), 2u);
  EXPECT_NE(text.find("[dev] display switched to 1080x1920"), std::string::npos);
  EXPECT_NE(text.find("[dev] display switched to 1920x1080"), std::string::npos);

  sim->changeModeResult = DISP_CHANGE_BADMODE;
  display.ApplyOrientation({1000, 1600, 0, 0}, 60);
  EXPECT_NE(log.Text().find("[dev] switching the display to 1080x1920 failed (code -2)"), std::string::npos);

  SessionDisplay mirror(driver, "m");
  ASSERT_TRUE(mirror.Setup(Hello(1), 60, true, error));
  mirror.ApplyOrientation({1000, 1600, 0, 0}, 60);
  EXPECT_EQ(sim->ModeChanges().size(), 3u);
  EXPECT_NE(log.Text().find("[m] device turned to portrait"), std::string::npos);
}

TEST_F(SessionDisplayTest, AnyOtherHelloModeIsExtendEverywhere) {
  SessionDisplay display(driver, "dev");
  ASSERT_TRUE(display.Setup(Hello(7), 60, true, error));
  EXPECT_EQ(display.Mode(), 0);
  EXPECT_FALSE(display.Mirror());
  EXPECT_EQ(display.DisplayName(), kVirtual1);
  display.ApplySettings(150, 0);  // the virtual monitor's scale, not a remembered one
  ASSERT_EQ(sim->ScaleSets().size(), 1u);
  EXPECT_EQ(sim->ScaleSets()[0].gdiName, kVirtual1);
  EXPECT_FALSE(registry.Read(kSavedDisplayScalesValue));
  display.ApplySettings(150, 1);
  EXPECT_EQ(sim->ActiveNames(), (std::vector<std::wstring>{kVirtual1}));
  display.ApplyOrientation({1000, 1600, 0, 0}, 60);
  EXPECT_EQ(sim->ModeChanges().size(), 1u);
}

TEST_F(SessionDisplayTest, RemovingTheMonitorFirstGivesTheScreensBack) {
  SessionDisplay display(driver, "dev");
  ASSERT_TRUE(display.Setup(Hello(0), 60, true, error));
  display.ApplySettings(0, 1);
  display.RemoveMonitor();
  const int restore = events->IndexOf(std::format("config {:#x} {}", SDC_APPLY | SDC_USE_SUPPLIED_DISPLAY_CONFIG |
                                                                         SDC_ALLOW_CHANGES, 2));
  const int removed = events->IndexOf("driver remove 1");
  ASSERT_GE(restore, 0);
  ASSERT_GE(removed, 0);
  EXPECT_LT(restore, removed);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
  const size_t before = events->Items().size();
  display.RemoveMonitor();  // a second time, as the destructor does: nothing more
  EXPECT_EQ(events->Items().size(), before);
}

// Through a session and the device client.
class SessionDisplayWelcomeTest : public SessionDisplayTest {
 protected:
  void SetUp() override {
    SessionDisplayTest::SetUp();
    harness.parts.display = [](VirtualDisplayDriver& d, const std::string& label) {
      return std::make_unique<SessionDisplay>(d, label);
    };
  }
  test::SessionHarness harness{driver};
};

TEST_F(SessionDisplayWelcomeTest, DriverOffGivesStatusThreeWithTheInstallText) {
  harness.options.driver = false;
  test::HelloFields hello;
  hello.displayMode = 0;
  const auto w = harness.Connect(hello);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 3);
  EXPECT_EQ(w->message, kInstallText);
  harness.WaitForEnd();
  const std::string text = log.Text();
  EXPECT_NE(text.find(std::string("ERROR [192.168.1.20] ") + kInstallText), std::string::npos) << text;
}

TEST_F(SessionDisplayWelcomeTest, RefusedMonitorWithTheDriverOpenGivesStatusFour) {
  fake->addError = ERROR_NOT_SUPPORTED;
  test::HelloFields hello;
  hello.displayMode = 0;
  const auto w = harness.Connect(hello);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 4);
  EXPECT_EQ(w->message, "The display driver could not create a virtual monitor.");
}

TEST_F(SessionDisplayWelcomeTest, ByeGivesTheScreensBackBeforeTheMonitorGoesAndBeforeTheThreadEnds) {
  test::HelloFields hello;
  hello.displayMode = 7;  // extend
  hello.displayFlags = 1;  // the PC's screens off
  const auto w = harness.Connect(hello);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 0) << w->message;
  EXPECT_EQ(w->displayMode, 0);
  EXPECT_EQ(sim->ActiveNames(), (std::vector<std::wstring>{kVirtual1}));
  EXPECT_TRUE(registry.Read(kExclusiveDisplaysValue));

  ASSERT_TRUE(harness.Send(40, {}));
  harness.WaitForEnd();
  ASSERT_TRUE(harness.session);  // still alive: all of it happened in the teardown
  EXPECT_EQ(sim->ActiveNames(), (std::vector<std::wstring>{kPc1}));
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
  const int restore = events->IndexOf(std::format("config {:#x} {}", SDC_APPLY | SDC_USE_SUPPLIED_DISPLAY_CONFIG |
                                                                         SDC_ALLOW_CHANGES, 2));
  const int removed = events->IndexOf("driver remove 1");
  ASSERT_GE(restore, 0);
  ASSERT_GE(removed, 0);
  EXPECT_LT(restore, removed);
}

TEST_F(SessionDisplayWelcomeTest, ByeGivesAMirroredDisplaysScaleBack) {
  test::HelloFields hello;
  hello.displayMode = 1;
  hello.displayScale = 175;
  const auto w = harness.Connect(hello);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->status, 0) << w->message;
  EXPECT_TRUE(registry.Read(kSavedDisplayScalesValue));
  ASSERT_TRUE(harness.Send(40, {}));
  harness.WaitForEnd();
  ASSERT_TRUE(harness.session);
  EXPECT_FALSE(registry.Read(kSavedDisplayScalesValue));
  const auto sets = sim->ScaleSets();
  ASSERT_EQ(sets.size(), 2u);
  EXPECT_EQ(sets[0].relative, 2);
  EXPECT_EQ(sets[1].relative, 0);
}

}  // namespace
}  // namespace kelm
