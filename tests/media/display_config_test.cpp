// Display scale, exclusive displays, crash recovery and the activation wait, against a
// simulated display configuration and Wine's real registry.
#include "media/display_config.h"

#include <gtest/gtest.h>

#include <climits>

#include "display_test_support.h"
#include "media/display_diagnostics.h"
#include "media/monitor_activation.h"
#include "simulated_displays.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::SimMonitor;
using test::SimulatedDisplays;

constexpr UINT32 kSupplied = SDC_APPLY | SDC_USE_SUPPLIED_DISPLAY_CONFIG | SDC_ALLOW_CHANGES;
constexpr UINT32 kExtend = SDC_TOPOLOGY_EXTEND | SDC_APPLY;

TEST(ScaleSteps, NearestStepTiesGoDown) {
  const std::pair<int32_t, int32_t> cases[] = {{110, 100}, {113, 125}, {275, 250}, {700, 500}, {50, 100},
                                               {112, 100}, {138, 150}, {325, 300}, {0, 100},   {INT_MIN, 100},
                                               {INT_MAX, 500}};
  for (const auto& [percent, step] : cases) {
    EXPECT_EQ(kScaleSteps[NearestScaleStep(percent)], step) << percent;
  }
}

TEST(ScaleSteps, RelativeStepsAroundTheRecommendedScale) {
  // Recommended 150 % (index 2), steps -2..+3.
  const RelativeScaleSteps steps{-2, 0, 3};
  EXPECT_EQ(TargetRelativeStep(100, steps), -2);
  EXPECT_EQ(TargetRelativeStep(0, steps), 0);
  EXPECT_EQ(TargetRelativeStep(-40, steps), 0);
  EXPECT_EQ(TargetRelativeStep(500, steps), 3);  // clamped to the maximum
  const DisplayScaleInfo info = ScaleInfoFromSteps({-2, 1, 3});
  EXPECT_EQ(info.recommendedPercent, 150u);
  EXPECT_EQ(info.currentPercent, 175u);
  EXPECT_EQ(info.maximumPercent, 225u);
  EXPECT_EQ(ScaleInfoFromSteps({-2, 9, 3}).currentPercent, 225u);  // current clamped to the range
  EXPECT_EQ(ScaleInfoFromSteps({-11, 0, 11}).maximumPercent, 500u);  // index clamped to the table

  const RelativeScaleSteps unusable[] = {{INT_MIN, 0, 0}, {1, 2, 3}, {0, 0, -1}, {-12, 0, 0}, {0, 0, INT_MAX}};
  for (const auto& s : unusable) EXPECT_FALSE(UsableScaleSteps(s)) << s.minimum << " " << s.maximum;
  EXPECT_TRUE(UsableScaleSteps({-11, 0, 11}));
  EXPECT_TRUE(UsableScaleSteps({0, 0, 0}));
}

TEST(SavedScalesText, FormatAndParse) {
  SavedScaleMap map;
  map[L"\\\\?\\B"] = {150, 1};
  map[L"\\\\?\\A"] = {-25, 2};
  const std::vector<wchar_t> chars = FormatSavedScales(map);
  const std::wstring expected(L"-25|\\\\?\\A\0" L"150|\\\\?\\B\0\0", 21);
  EXPECT_EQ(std::wstring(chars.begin(), chars.end()), expected);
  const auto back = ParseSavedScales(chars);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].percent, -25);
  EXPECT_EQ(back[0].monitorPath, L"\\\\?\\A");
  EXPECT_EQ(back[1].percent, 150);

  const std::wstring mixed(L"nobar\0" L"abc|p1\0" L"99999999999|p2\0" L"1001|p3\0" L"|p4\0" L"125|p|5\0" L"100|p6", 64);
  const auto parsed = ParseSavedScales(std::span<const wchar_t>(mixed.data(), mixed.size()));
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[0].percent, 125);
  EXPECT_EQ(parsed[0].monitorPath, L"p|5");
  EXPECT_EQ(parsed[1].percent, 100);
  EXPECT_EQ(parsed[1].monitorPath, L"p6");  // the last string needs no NUL

  // Never past the end: the characters after the span are not read.
  const wchar_t buffer[] = L"200|abcXYZ";
  const auto bounded = ParseSavedScales(std::span<const wchar_t>(buffer, 7));
  ASSERT_EQ(bounded.size(), 1u);
  EXPECT_EQ(bounded[0].monitorPath, L"abc");
  EXPECT_TRUE(ParseSavedScales({}).empty());
}

class DisplayConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim->Add(SimulatedDisplays::PcScreen(1, 0));
  }
  std::wstring PathOf(const std::wstring& name) { return sim->Find(name)->monitorPath; }
  std::optional<std::wstring> SavedScalesText() {
    const auto v = registry.Read(kSavedDisplayScalesValue);
    if (!v) return std::nullopt;
    EXPECT_EQ(v->first, static_cast<DWORD>(REG_MULTI_SZ));
    return std::wstring(reinterpret_cast<const wchar_t*>(v->second.data()), v->second.size() / sizeof(wchar_t));
  }
  std::vector<int32_t> RelativeSets(const std::wstring& name) {
    std::vector<int32_t> out;
    for (const auto& s : sim->ScaleSets()) {
      if (s.gdiName == name) out.push_back(s.relative);
    }
    return out;
  }

  test::ScopedRegistryKey registry;
  test::ScopedSimulatedDisplays sim;
  test::TempDir dir;
  test::LogCapture log{dir.File(L"display.log")};
  const std::wstring pc1 = L"\\\\.\\DISPLAY1";
};

TEST_F(DisplayConfigTest, SetScaleUsesRelativeStepsAndSkipsTheCurrentOne) {
  sim->Update(pc1, [](SimMonitor& m) {
    m.minStep = -2;  // recommended 150 %
    m.maxStep = 3;
    m.currentStep = 0;
  });
  EXPECT_TRUE(SetDisplayScale(L"\\\\.\\display1", 100));  // names compare without case
  EXPECT_TRUE(SetDisplayScale(pc1, 0));
  EXPECT_TRUE(SetDisplayScale(pc1, 0));  // already there: nothing sent
  EXPECT_EQ(RelativeSets(pc1), (std::vector<int32_t>{-2, 0}));
  const auto info = GetDisplayScaleInfo(pc1);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->currentPercent, 150u);
  EXPECT_EQ(info->recommendedPercent, 150u);
  EXPECT_EQ(info->maximumPercent, 225u);
  EXPECT_FALSE(SetDisplayScale(L"\\\\.\\DISPLAY9", 100));
  const std::string text = log.Text();
  EXPECT_NE(text.find("Scale of \\\\.\\DISPLAY1 set to 100%"), std::string::npos) << text;
  EXPECT_NE(text.find("Scale of \\\\.\\DISPLAY1 set to 150%"), std::string::npos) << text;

  sim->setScaleResult = ERROR_GEN_FAILURE;
  EXPECT_FALSE(SetDisplayScale(pc1, 200));
  EXPECT_NE(log.Text().find("Setting the scale of \\\\.\\DISPLAY1 failed: 31"), std::string::npos);
}

TEST_F(DisplayConfigTest, UnusableStepAnswersSetNothing) {
  const std::pair<int32_t, int32_t> answers[] = {{INT_MIN, 3}, {1, 3}, {-1, -1}};
  for (const auto& [minimum, maximum] : answers) {
    sim->Update(pc1, [&](SimMonitor& m) {
      m.minStep = minimum;
      m.maxStep = maximum;
    });
    EXPECT_FALSE(SetDisplayScale(pc1, 150));
    EXPECT_FALSE(GetDisplayScaleInfo(pc1));
    std::wstring held;
    ChangeDisplayScale(held, pc1, 150);
    EXPECT_TRUE(held.empty());
  }
  EXPECT_TRUE(sim->ScaleSets().empty());
  EXPECT_FALSE(SavedScalesText());
}

TEST_F(DisplayConfigTest, TwoHoldersRememberThePreviousScaleOnceAndTheLastRestoresIt) {
  std::wstring a, b;
  ChangeDisplayScale(a, pc1, 150);
  EXPECT_EQ(a, PathOf(pc1));
  const std::wstring expected = L"125|" + PathOf(pc1) + std::wstring(L"\0\0", 2);
  EXPECT_EQ(SavedScalesText(), expected);
  ChangeDisplayScale(b, pc1, 200);
  EXPECT_EQ(SavedScalesText(), expected);  // remembered once, from before the first change
  ChangeDisplayScale(b, pc1, 175);         // the same holder again: no second hold
  RestoreDisplayScale(a);
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(SavedScalesText(), expected);
  EXPECT_EQ(RelativeSets(pc1), (std::vector<int32_t>{1, 3, 2}));
  RestoreDisplayScale(b);
  EXPECT_TRUE(b.empty());
  EXPECT_EQ(RelativeSets(pc1), (std::vector<int32_t>{1, 3, 2, 0}));  // back to 125 %
  EXPECT_FALSE(SavedScalesText());
  RestoreDisplayScale(b);  // nothing held: nothing happens
  EXPECT_EQ(sim->ScaleSets().size(), 4u);
}

TEST_F(DisplayConfigTest, MovingTheHoldToAnotherDisplayReleasesTheFirst) {
  sim->Add(SimulatedDisplays::PcScreen(2, 1920));
  const std::wstring pc2 = L"\\\\.\\DISPLAY2";
  std::wstring held;
  ChangeDisplayScale(held, pc1, 200);
  ChangeDisplayScale(held, pc2, 150);
  EXPECT_EQ(held, PathOf(pc2));
  EXPECT_EQ(RelativeSets(pc1), (std::vector<int32_t>{3, 0}));
  EXPECT_EQ(SavedScalesText(), L"125|" + PathOf(pc2) + std::wstring(L"\0\0", 2));
  RestoreDisplayScale(held);
  EXPECT_FALSE(SavedScalesText());
}

TEST_F(DisplayConfigTest, ReleasingAPathNeverHeldCreatesNothing) {
  std::wstring stranger = PathOf(pc1);  // never changed through ChangeDisplayScale
  RestoreDisplayScale(stranger);
  EXPECT_TRUE(stranger.empty());
  EXPECT_FALSE(SavedScalesText());
  EXPECT_TRUE(sim->ScaleSets().empty());
  // A real hold afterwards is the only one: one release restores it.
  std::wstring held;
  ChangeDisplayScale(held, pc1, 150);
  RestoreDisplayScale(held);
  EXPECT_FALSE(SavedScalesText());
  EXPECT_EQ(RelativeSets(pc1), (std::vector<int32_t>{1, 0}));
}

TEST_F(DisplayConfigTest, ExclusiveModeIsCountedOverTwoSessions) {
  sim->Add(SimulatedDisplays::PcScreen(2, 1920));
  sim->Add(SimulatedDisplays::VirtualMonitor(0x100, 3840));
  sim->Add(SimulatedDisplays::VirtualMonitor(0x101, 5760));
  ASSERT_TRUE(EnterExclusiveDisplays());
  EXPECT_EQ(sim->ActiveNames(), (std::vector<std::wstring>{L"\\\\.\\DISPLAY256", L"\\\\.\\DISPLAY257"}));
  // The first kept source becomes the primary at (0,0); the rest keep their offsets.
  EXPECT_EQ(sim->Find(L"\\\\.\\DISPLAY256")->x, 0);
  EXPECT_EQ(sim->Find(L"\\\\.\\DISPLAY257")->x, 1920);
  ASSERT_EQ(sim->ConfigSets().size(), 1u);
  EXPECT_EQ(sim->ConfigSets()[0].flags, kSupplied);
  EXPECT_EQ(sim->ConfigSets()[0].paths, 2u);
  const auto marker = registry.Read(kExclusiveDisplaysValue);
  ASSERT_TRUE(marker);
  EXPECT_EQ(marker->first, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(marker->second, (std::vector<uint8_t>{1, 0, 0, 0}));

  ASSERT_TRUE(EnterExclusiveDisplays());  // already only virtual: nothing changes
  EXPECT_EQ(sim->ConfigSets().size(), 1u);
  LeaveExclusiveDisplays();
  EXPECT_EQ(sim->ActiveNames().size(), 2u);  // the other session keeps the PC dark
  EXPECT_TRUE(registry.Read(kExclusiveDisplaysValue));
  LeaveExclusiveDisplays();
  EXPECT_EQ(sim->ActiveNames().size(), 4u);
  EXPECT_EQ(sim->Find(pc1)->x, 0);
  EXPECT_EQ(sim->Find(L"\\\\.\\DISPLAY2")->x, 1920);
  EXPECT_EQ(sim->Find(L"\\\\.\\DISPLAY256")->x, 3840);
  EXPECT_EQ(sim->ConfigSets().back().flags, kSupplied);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
  LeaveExclusiveDisplays();  // not entered: nothing
  EXPECT_EQ(sim->ConfigSets().size(), 2u);
  const std::string text = log.Text();
  EXPECT_EQ(test::Count(text, "Using only tavro displays (the PC's own screens are off)"), 1u) << text;
  EXPECT_EQ(test::Count(text, "The PC's own screens are back on\r\n") + test::Count(text, "The PC's own screens are back on\n"),
            1u)
      << text;
}

TEST_F(DisplayConfigTest, NoVirtualMonitorMeansNoExclusiveMode) {
  EXPECT_FALSE(EnterExclusiveDisplays());
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
  EXPECT_TRUE(sim->ConfigSets().empty());
  EXPECT_EQ(log.Text(), "");
  LeaveExclusiveDisplays();  // the failed enter counted nothing
  EXPECT_TRUE(sim->ConfigSets().empty());
}

TEST_F(DisplayConfigTest, LeavingFallsBackToExtendWhenTheRestoreWouldLoseAVirtualMonitor) {
  sim->Add(SimulatedDisplays::VirtualMonitor(0x100, 1920));
  ASSERT_TRUE(EnterExclusiveDisplays());
  // Another session adds its monitor while the PC's screens are off.
  sim->Add(SimulatedDisplays::VirtualMonitor(0x101, 1920));
  LeaveExclusiveDisplays();
  const auto sets = sim->ConfigSets();
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(sets[1].flags, kSupplied);
  EXPECT_EQ(sets[1].activeAfter.size(), 2u);  // the saved set lacks the new monitor
  EXPECT_EQ(sets[2].flags, kExtend);
  EXPECT_EQ(sets[2].paths, 0u);
  EXPECT_EQ(sim->ActiveNames().size(), 3u);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
}

TEST_F(DisplayConfigTest, FailedSwitchesAreReportedAndTheMarkerStillGoes) {
  sim->Add(SimulatedDisplays::VirtualMonitor(0x100, 1920));
  // A refused switch to exclusive mode leaves no marker behind.
  sim->setConfigResult = ERROR_GEN_FAILURE;
  EXPECT_FALSE(EnterExclusiveDisplays());
  EXPECT_NE(log.Text().find("Switching to tavro-only displays failed: 31"), std::string::npos);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
  LeaveExclusiveDisplays();  // nothing was counted
  EXPECT_EQ(sim->ConfigSets().size(), 1u);

  sim->setConfigResult = ERROR_SUCCESS;
  ASSERT_TRUE(EnterExclusiveDisplays());
  sim->setConfigResult = ERROR_GEN_FAILURE;
  LeaveExclusiveDisplays();
  EXPECT_EQ(sim->ConfigSets().back().flags, kExtend);
  EXPECT_NE(log.Text().find("The PC's own screens are back on (error 31)"), std::string::npos);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
}

TEST_F(DisplayConfigTest, CrashRecoveryTurnsTheScreensBackOnAndDropsTheMarker) {
  const DWORD on = 1;
  ASSERT_TRUE(registry.Write(kExclusiveDisplaysValue, REG_DWORD, &on, sizeof(on)));
  RestoreDisplaysAfterCrash();
  ASSERT_EQ(sim->ConfigSets().size(), 1u);
  EXPECT_EQ(sim->ConfigSets()[0].flags, kExtend);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
  const std::string text = log.Text();
  EXPECT_NE(text.find("INFO"), std::string::npos);
  EXPECT_NE(text.find("Turning the PC's screens back on after an unexpected exit"), std::string::npos) << text;

  // A zero marker only goes away.
  const DWORD off = 0;
  ASSERT_TRUE(registry.Write(kExclusiveDisplaysValue, REG_DWORD, &off, sizeof(off)));
  RestoreDisplaysAfterCrash();
  EXPECT_EQ(sim->ConfigSets().size(), 1u);
  EXPECT_FALSE(registry.Read(kExclusiveDisplaysValue));
}

TEST_F(DisplayConfigTest, CrashRecoveryRestoresSavedScalesAndSkipsWhatItCannotRead) {
  sim->Add(SimulatedDisplays::PcScreen(2, 1920));
  const auto bytes = test::MultiString({L"175|" + PathOf(pc1), L"no bar here", L"x|" + PathOf(L"\\\\.\\DISPLAY2"),
                                        L"150|\\\\?\\gone"});
  ASSERT_TRUE(registry.Write(kSavedDisplayScalesValue, REG_MULTI_SZ, bytes.data(), bytes.size()));
  RestoreDisplaysAfterCrash();
  EXPECT_EQ(RelativeSets(pc1), (std::vector<int32_t>{2}));  // 175 % with 125 % recommended
  EXPECT_TRUE(RelativeSets(L"\\\\.\\DISPLAY2").empty());
  EXPECT_FALSE(registry.Read(kSavedDisplayScalesValue));
  const std::string text = log.Text();
  EXPECT_EQ(test::Count(text, "Restored the scale of \\\\.\\DISPLAY1 after an unexpected exit"), 1u) << text;
  EXPECT_EQ(test::Count(text, "Restored the scale of"), 1u) << text;
}

TEST_F(DisplayConfigTest, CrashRecoveryReadsAFullValueWithoutTerminatorsAndDeletesIt) {
  // 16384 bytes: one good entry, then a last string that fills the value to its end.
  std::wstring chars = L"150|" + PathOf(pc1) + L'\0' + L"200|";
  chars.resize(kMaxSavedScalesBytes / sizeof(wchar_t), L'Z');
  // The registry, like Windows, adds a NUL it finds right after a string value's bytes;
  // a character there keeps the value at exactly 16384 bytes.
  chars.push_back(L'Q');
  ASSERT_TRUE(registry.Write(kSavedDisplayScalesValue, REG_MULTI_SZ, chars.data(), kMaxSavedScalesBytes));
  ASSERT_EQ(registry.Read(kSavedDisplayScalesValue)->second.size(), kMaxSavedScalesBytes);
  RestoreDisplaysAfterCrash();
  EXPECT_EQ(RelativeSets(pc1), (std::vector<int32_t>{1}));
  EXPECT_FALSE(registry.Read(kSavedDisplayScalesValue));
}

TEST_F(DisplayConfigTest, CrashRecoveryDropsOversizedOrMistypedValuesWithAWarning) {
  struct Case {
    DWORD type;
    size_t bytes;
  };
  const Case cases[] = {{REG_MULTI_SZ, kMaxSavedScalesBytes + 2}, {REG_MULTI_SZ, 100000}, {REG_SZ, 64}, {REG_DWORD, 4}};
  for (const Case& c : cases) {
    std::wstring chars = L"150|" + PathOf(pc1) + L'\0';
    chars.resize(c.bytes / sizeof(wchar_t), L'\0');
    ASSERT_TRUE(registry.Write(kSavedDisplayScalesValue, c.type, chars.data(), c.bytes));
    RestoreDisplaysAfterCrash();
    EXPECT_FALSE(registry.Read(kSavedDisplayScalesValue)) << c.bytes;
    const std::string text = log.Text();
    EXPECT_EQ(test::Count(text, "WARN"), 1u) << text;
    EXPECT_NE(text.find("Dropping the saved display scales"), std::string::npos) << text;
    log.Text();
    CloseLogFile();
    DeleteFileW(dir.File(L"display.log").c_str());
    OpenLogFile(dir.File(L"display.log"));
  }
  EXPECT_TRUE(sim->ScaleSets().empty());
}

TEST_F(DisplayConfigTest, CrashRecoveryWithoutTheKeyDoesNothing) {
  RegDeleteTreeW(HKEY_CURRENT_USER, registry.Path().c_str());
  RestoreDisplaysAfterCrash();
  EXPECT_TRUE(sim->ConfigSets().empty());
  EXPECT_EQ(log.Text(), "");
  HKEY key = nullptr;
  EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, registry.Path().c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
}

TEST_F(DisplayConfigTest, ActivationWaitSwitchesToExtendOnceAfterTwoAndAHalfSeconds) {
  SimMonitor v = SimulatedDisplays::VirtualMonitor(0x100, 1920);
  v.active = false;
  v.connected = false;  // only time brings it
  const uint64_t start = sim->Now();
  v.activateAtMs = start + 3000;
  sim->Add(v);
  const auto name = WaitForMonitorActive(v.adapter, 0x100, 10000);
  EXPECT_EQ(name, std::optional<std::wstring>(L"\\\\.\\DISPLAY256"));
  const auto sets = sim->ConfigSets();
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(sets[0].flags, kExtend);
  EXPECT_GE(sets[0].atMs - start, 2500u);
  EXPECT_LE(sets[0].atMs - start, 2700u);
  EXPECT_GE(sim->Now() - start, 3000u);
  EXPECT_LT(sim->Now() - start, 3200u);
  EXPECT_EQ(test::Count(log.Text(),
                        "Virtual monitor did not activate on its own; switching Windows to extended desktop"),
            1u);
}

TEST_F(DisplayConfigTest, ActivationWaitGivesUpAtItsTimeOut) {
  sim->setConfigResult = ERROR_GEN_FAILURE;
  const uint64_t start = sim->Now();
  EXPECT_FALSE(WaitForMonitorActive(LUID{0x1234, 5}, 0x100, 10000));
  EXPECT_GE(sim->Now() - start, 10000u);
  EXPECT_LT(sim->Now() - start, 10200u);
  EXPECT_EQ(sim->ConfigSets().size(), 1u);
  const std::string text = log.Text();
  EXPECT_EQ(test::Count(text, "switching Windows to extended desktop"), 1u);
  EXPECT_NE(text.find("SetDisplayConfig(EXTEND) failed: 31"), std::string::npos) << text;
}

TEST_F(DisplayConfigTest, ActiveTargetIsFoundAtOnceAndQueriesRetryWhileBuffersGrow) {
  sim->Add(SimulatedDisplays::VirtualMonitor(0x100, 1920));
  sim->insufficientBufferAnswers = 4;
  EXPECT_EQ(WaitForMonitorActive(LUID{0x1234, 5}, 0x100, 10000), std::optional<std::wstring>(L"\\\\.\\DISPLAY256"));
  EXPECT_TRUE(sim->ConfigSets().empty());
  EXPECT_FALSE(FindActiveTarget(LUID{0x1234, 6}, 0x100));  // another adapter
  sim->insufficientBufferAnswers = 5;
  EXPECT_FALSE(FindActiveTarget(LUID{0x1234, 5}, 0x100));
  EXPECT_EQ(CountVirtualDisplays(), 1);
}

TEST_F(DisplayConfigTest, DisplayListShowsEachSourceOnceWithItsScale) {
  SimMonitor clone = SimulatedDisplays::PcScreen(1, 0);  // the same source on a second target
  clone.targetId = 9;
  clone.monitorPath = L"\\\\?\\clone";
  sim->Add(clone);
  SimMonitor v = SimulatedDisplays::VirtualMonitor(0x100, -1280);
  v.width = 1280;
  v.height = 800;
  v.currentStep = 2;
  sim->Add(v);
  const auto displays = EnumerateDisplays();
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_TRUE(displays[0].primary);
  EXPECT_FALSE(displays[0].isVirtual);
  EXPECT_TRUE(displays[1].isVirtual);
  EXPECT_FALSE(displays[1].primary);
  EXPECT_EQ(DisplayListLine(0, displays[0], GetDisplayScaleInfo(displays[0].deviceName)),
            "0: \\\\.\\DISPLAY1  PC screen 1  1920x1080 at (0,0)  scale 125% (recommended 125%, max 200%)  [primary]\n");
  EXPECT_EQ(DisplayListLine(1, displays[1], GetDisplayScaleInfo(displays[1].deviceName)),
            "1: \\\\.\\DISPLAY256  tavro  1280x800 at (-1280,0)  scale 150% (recommended 100%, max 250%)  [tavro]\n");
  EXPECT_EQ(DisplayListLine(7, displays[0], std::nullopt),
            "7: \\\\.\\DISPLAY1  PC screen 1  1920x1080 at (0,0)  scale 0% (recommended 0%, max 0%)  [primary]\n");
}

}  // namespace
}  // namespace kelm
