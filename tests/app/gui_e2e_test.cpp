// The real tavro.exe tray application under Wine: the runtime notice, the window and
// its theme, the single-instance hand-off, the PIN window and the ways of quitting.
#include <gtest/gtest.h>

#include <thread>

#include "app/app_texts.h"
#include "app/single_instance.h"
#include "app/ui_posts.h"
#include "app/web_ui.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/text.h"
#include "gui_probe.h"
#include "pairing_device.h"
#include "support/child_process.h"
#include "support/device_client.h"
#include "support/device_files.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"
#include "support/wait_until.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;

constexpr wchar_t kThemeKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

void BroadcastThemeChange() {
  SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"ImmersiveColorSet"),
                      SMTO_ABORTIFHUNG, 3000, nullptr);
}

// Puts the prefix's theme value back as it was.
class ThemeValueGuard {
 public:
  ThemeValueGuard() {
    DWORD size = sizeof(value_);
    had_ = RegGetValueW(HKEY_CURRENT_USER, kThemeKey, L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &value_,
                        &size) == ERROR_SUCCESS;
  }
  ~ThemeValueGuard() {
    if (had_) {
      RegSetKeyValueW(HKEY_CURRENT_USER, kThemeKey, L"AppsUseLightTheme", REG_DWORD, &value_, sizeof(value_));
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, kThemeKey, L"AppsUseLightTheme");
    }
    BroadcastThemeChange();
  }
  void SetDark() {
    const DWORD zero = 0;
    RegSetKeyValueW(HKEY_CURRENT_USER, kThemeKey, L"AppsUseLightTheme", REG_DWORD, &zero, sizeof(zero));
    BroadcastThemeChange();
  }

 private:
  DWORD value_ = 1;
  bool had_ = false;
};

int CountColor(const test::Capture& c, const RECT& area, bool (*match)(uint32_t)) {
  int n = 0;
  for (int y = area.top; y < area.bottom && y < c.height; ++y)
    for (int x = area.left; x < area.right && x < c.width; ++x)
      if (match(c.At(x, y))) ++n;
  return n;
}

bool IsDark(uint32_t px) { return (px & 0xFF) < 0x60 && ((px >> 8) & 0xFF) < 0x60 && ((px >> 16) & 0xFF) < 0x60; }
bool IsWhite(uint32_t px) { return (px & 0xFF) > 0xC0 && ((px >> 8) & 0xFF) > 0xC0 && ((px >> 16) & 0xFF) > 0xC0; }

// Wine shows a balloon as a visible tooltip window holding its text.
bool BalloonShowing(const std::wstring& text) {
  for (const test::WindowInfo& w : test::FindTopWindows(L"tooltips_class32", L"", 0, true))
    if (w.title.find(text) != std::wstring::npos) return true;
  return false;
}

class GuiTest : public ::testing::Test {
 protected:
  std::wstring Profile(const std::wstring& name = L"profile") const { return dir.File(name); }

  std::wstring Line(const std::wstring& extra, const std::wstring& profile) const {
    return L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --profile \"" + profile + L"\" --port " +
           std::to_wstring(port) + L" --no-adb --no-driver --no-discovery" + extra;
  }

  void Start(const std::wstring& extra, test::ChildProcess::Options options = {}) {
    ASSERT_TRUE(host.Start(Line(extra, Profile()), dir.File(L"host-out.txt"), options));
  }

  std::string Log(const std::wstring& profile) const { return test::ReadFileBytes(profile + L"\\host.log"); }
  std::string Log() const { return Log(Profile()); }
  bool WaitLog(const std::string& text, std::chrono::milliseconds limit = 20s) const {
    return test::WaitUntil([&] { return Log().find(text) != std::string::npos; }, limit);
  }

  std::vector<test::WindowInfo> Dialogs() const { return test::FindTopWindows(L"#32770", L"tavro", host.Id(), true); }
  HWND WaitDialog() const { return test::WaitForWindow(L"#32770", L"tavro", host.Id(), 20000); }
  // Presses OK in the runtime notice and waits for it to go.
  void DismissNotice() {
    HWND dialog = WaitDialog();
    ASSERT_NE(dialog, nullptr) << Log();
    ASSERT_TRUE(test::PressButton(dialog, L"OK"));
    ASSERT_TRUE(test::WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }));
  }
  HWND MainWindow() const {
    const auto found = test::FindTopWindows(kMainWindowClass, L"tavro", host.Id());
    return found.empty() ? nullptr : found.front().hwnd;
  }
  HWND WaitMainWindowVisible() const {
    return test::WaitForWindow(kMainWindowClass, L"tavro", host.Id(), 20000);
  }
  void QuitForUpdate() {
    HWND window = MainWindow();
    ASSERT_NE(window, nullptr);
    PostMessageW(window, kMsgQuitForUpdate, 0, 0);
    uint32_t code = 0xFFFF;
    ASSERT_TRUE(host.Wait(20000, code)) << Log();
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(WaitLog("Quitting for the update"));
    EXPECT_TRUE(WaitLog("Exited")) << Log();
  }

  test::TempDir dir;
  uint16_t port = test::FreeLoopbackPort();
  test::ChildProcess host;
};

using Device = test::PairingDevice;

TEST_F(GuiTest, FirstStartShowsTheRuntimeNoticeThenTheThemedWindow) {
  // A loader in the current folder must never be picked up.
  const std::wstring cwd = dir.File(L"cwd");
  CreateDirectoryW(cwd.c_str(), nullptr);
  const std::wstring marker = cwd + L"\\WebView2Loader.dll";
  ASSERT_TRUE(CopyFileW((test::SiblingExe(L"..\\marker-loader\\marker_webview2_loader.dll")).c_str(), marker.c_str(), FALSE));
  test::ChildProcess::Options options;
  options.currentDir = cwd;
  Start(L"", options);
  ASSERT_TRUE(WaitLog("WARN  Microsoft Edge WebView2 Runtime not found")) << Log();
  EXPECT_NE(Log().find("tavro 1.0.0 starting"), std::string::npos);
  EXPECT_NE(Log().find("listening on port " + std::to_string(port)), std::string::npos) << Log();

  HWND dialog = WaitDialog();
  ASSERT_NE(dialog, nullptr);
  Sleep(500);
  EXPECT_EQ(Dialogs().size(), 1u);
  bool instruction = false, link = false, ok = false;
  const std::wstring content =
      std::wstring(L"tavro uses the WebView2 Runtime to show its window. <a href=\"") + kWebViewDownloadUrl +
      L"\">Download and install it</a>, then open tavro again.\n\nTablets can still connect: tavro keeps running in "
      L"the system tray.";
  for (const test::ControlInfo& c : test::Controls(dialog)) {
    if (c.className == L"Static" && c.text == L"Microsoft Edge WebView2 Runtime is required") instruction = true;
    if (c.className == L"SysLink" && c.text == content) link = true;
    if (c.className == L"Button" && c.text == L"OK") ok = true;
  }
  EXPECT_TRUE(instruction);
  EXPECT_TRUE(link);
  EXPECT_TRUE(ok);
  // The window waits for the notice.
  HWND window = MainWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_FALSE(IsWindowVisible(window));

  // Resources, and the common controls the manifest asks for.
  const std::vector<std::wstring> modules = test::ProcessModules(host.Id());
  bool sideBySide = false;
  for (std::wstring m : modules) {
    CharLowerW(m.data());
    if (m.find(L"winsxs") != std::wstring::npos && m.ends_with(L"comctl32.dll")) sideBySide = true;
    EXPECT_NE(m, [&] { std::wstring l = marker; CharLowerW(l.data()); return l; }());
  }
  EXPECT_TRUE(sideBySide);

  DismissNotice();
  ASSERT_EQ(WaitMainWindowVisible(), window);
  EXPECT_TRUE(test::WaitUntil([&] { return GetForegroundWindow() == window; }, 5s));
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, 440);
  EXPECT_EQ(client.bottom, 640);
  // Nothing over the window: away from Wine's tray (which a click raises above it),
  // the pointer off the tray icon and its tooltip gone.
  SetWindowPos(window, HWND_TOP, 300, 200, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
  SetCursorPos(1200, 900);
  EXPECT_TRUE(test::WaitUntil([] { return test::FindTopWindows(L"tooltips_class32", L"", 0, true).empty(); }, 10s));
  Sleep(500);
  test::Capture light = test::CaptureClient(window);
  test::SaveBmp(light, test::SiblingExe(L"app_gui_light.bmp"));
  ASSERT_EQ(light.width, 440);
  const RECT margin{0, 0, 440, 24};
  const RECT text{24, 24, 416, 150};
  EXPECT_EQ(light.At(2, 2), 0xF3F3F3u);
  EXPECT_EQ(CountColor(light, margin, [](uint32_t px) { return px != 0xF3F3F3; }), 0);
  EXPECT_GT(CountColor(light, text, &IsDark), 20);

  {
    ThemeValueGuard theme;
    theme.SetDark();
    ASSERT_TRUE(test::WaitUntil([&] { return test::CaptureClient(window).At(2, 2) == 0x202020; }, 5s));
    Sleep(300);
    test::Capture dark = test::CaptureClient(window);
    test::SaveBmp(dark, test::SiblingExe(L"app_gui_dark.bmp"));
    EXPECT_EQ(CountColor(dark, margin, [](uint32_t px) { return px != 0x202020; }), 0);
    EXPECT_GT(CountColor(dark, text, &IsWhite), 20);
  }
  QuitForUpdate();
  EXPECT_FALSE(test::FileExists(marker + L".loaded"));
}

TEST_F(GuiTest, ProfileThatIsAFileIsReportedInAMessageBox) {
  ASSERT_TRUE(test::WriteFileBytes(Profile(), "a file"));
  Start(L"");
  HWND box = WaitDialog();
  ASSERT_NE(box, nullptr);
  bool named = false;
  for (const test::ControlInfo& c : test::Controls(box)) {
    if (c.className == L"Static" && WideToUtf8(c.text).starts_with("Cannot create the folder \"" + WideToUtf8(Profile())))
      named = true;
  }
  EXPECT_TRUE(named);
  ASSERT_TRUE(test::PressButton(box, L"OK"));
  uint32_t code = 0;
  ASSERT_TRUE(host.Wait(20000, code));
  EXPECT_EQ(code, 1u);
}

TEST_F(GuiTest, SecondStartShowsTheHiddenWindowAndExitsZero) {
  Start(L" --minimized");
  ASSERT_TRUE(WaitLog("listening on port")) << Log();
  ASSERT_TRUE(test::WaitUntil([&] { return MainWindow() != nullptr; }));
  EXPECT_FALSE(IsWindowVisible(MainWindow()));
  test::ChildProcess second;
  ASSERT_TRUE(second.Start(Line(L"", Profile()), dir.File(L"second.txt")));
  DismissNotice();
  EXPECT_NE(WaitMainWindowVisible(), nullptr);
  EXPECT_TRUE(test::WaitUntil([&] { return GetForegroundWindow() == MainWindow(); }, 5s));
  uint32_t code = 0xFFFF;
  ASSERT_TRUE(second.Wait(20000, code));
  EXPECT_EQ(code, 0u);
  const std::string log = Log();
  EXPECT_EQ(log.find("tavro 1.0.0 starting"), log.rfind("tavro 1.0.0 starting")) << log;
  // A minimised window is restored the same way.
  ShowWindow(MainWindow(), SW_MINIMIZE);
  ASSERT_TRUE(test::WaitUntil([&] { return IsIconic(MainWindow()) != FALSE; }, 5s));
  test::ChildProcess third;
  ASSERT_TRUE(third.Start(Line(L"", Profile()), dir.File(L"third.txt")));
  DismissNotice();
  EXPECT_TRUE(test::WaitUntil([&] { return !IsIconic(MainWindow()) && IsWindowVisible(MainWindow()); }, 10s));
  ASSERT_TRUE(third.Wait(20000, code));
  EXPECT_EQ(code, 0u);
  QuitForUpdate();
}

TEST_F(GuiTest, PinPairingOnlyWhileTheWindowIsOpen) {
  // With a fixed PIN the stored one is kept; the command line's is for this run only.
  CreateDirectoryW(Profile().c_str(), nullptr);
  ASSERT_TRUE(test::WriteFileBytes(Profile() + L"\\settings.json", "{\"fixedPin\": true}"));
  Start(L" --pin 135790 --minimized");
  ASSERT_TRUE(WaitLog("listening on port")) << Log();
  test::DeviceIdentity identity;
  Device refused;
  EXPECT_FALSE(refused.Connect(port, identity, "135790"));
  EXPECT_EQ(refused.outcome.errorText,
            "Open tavro on the PC to pair with its PIN (the PIN works while the tavro window is open).");
  ASSERT_TRUE(test::WaitUntil([&] { return MainWindow() != nullptr; }));
  PostMessageW(MainWindow(), RegisterWindowMessageW(kShowWindowMessage), 0, 0);
  DismissNotice();
  ASSERT_NE(WaitMainWindowVisible(), nullptr);
  Device paired;
  EXPECT_TRUE(paired.Connect(port, identity, "135790")) << paired.outcome.admissionMessage;
  QuitForUpdate();
  SetProfileDir(Profile());
  const Settings stored = LoadSettings();
  EXPECT_TRUE(stored.fixedPin);
  EXPECT_NE(stored.pin, 0u);
  EXPECT_NE(stored.pin, 135790u);
}

TEST_F(GuiTest, HandsFilesToTheRunningInstanceInOrder) {
  Start(L" --pin 012345");
  DismissNotice();
  ASSERT_NE(WaitMainWindowVisible(), nullptr);
  test::DeviceIdentity identity;
  Device device;
  ASSERT_TRUE(device.Connect(port, identity, "012345")) << device.outcome.admissionMessage;
  ASSERT_TRUE(WaitLog("connected via"));
  // Relative paths from another folder.
  const std::wstring other = dir.File(L"other");
  CreateDirectoryW(other.c_str(), nullptr);
  const std::string contents[] = {"first file", std::string(70000, 'b'), "third \xC3\xA9"};
  const wchar_t* names[] = {L"a.txt", L"b.bin", L"c\u00e9.txt"};
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(test::WriteFileBytes(other + L"\\" + names[i], contents[i]));
  ShowWindow(MainWindow(), SW_HIDE);
  test::ChildProcess second;
  test::ChildProcess::Options inOther;
  inOther.currentDir = other;
  ASSERT_TRUE(second.Start(Line(L" --send a.txt b.bin \"c\u00e9.txt\"", Profile()), dir.File(L"second.txt"), inOther));
  uint32_t code = 0xFFFF;
  ASSERT_TRUE(second.Wait(20000, code));
  EXPECT_EQ(code, 0u);
  for (int i = 0; i < 3; ++i) {
    const std::optional<test::FileFromPc> file = test::ReceiveFileOnDevice(*device.client);
    ASSERT_TRUE(file) << i;
    EXPECT_EQ(file->name, WideToUtf8(names[i]));
    EXPECT_EQ(file->data, contents[i]);
  }
  EXPECT_TRUE(WaitLog("Sending 3 file(s) to Test tablet")) << Log();
  EXPECT_FALSE(IsWindowVisible(MainWindow()));
  QuitForUpdate();
}

TEST_F(GuiTest, FilesWithoutADeviceWaitForTheFirstOne) {
  Start(L" --pin 012345 --minimized");
  ASSERT_TRUE(WaitLog("listening on port")) << Log();
  ASSERT_TRUE(test::WaitUntil([&] { return MainWindow() != nullptr; }));
  const std::wstring file = dir.File(L"pending.txt");
  ASSERT_TRUE(test::WriteFileBytes(file, "pending"));
  test::ChildProcess second;
  ASSERT_TRUE(second.Start(Line(L" --send \"" + file + L"\" \"" + file + L"\" \"" + file + L"\"", Profile()),
                           dir.File(L"second.txt")));
  uint32_t code = 0xFFFF;
  ASSERT_TRUE(second.Wait(20000, code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(Log().find("Sending"), std::string::npos);
  EXPECT_TRUE(test::WaitUntil([] { return BalloonShowing(L"Connect your phone or tablet to send 3 files."); }, 10s));
  PostMessageW(MainWindow(), RegisterWindowMessageW(kShowWindowMessage), 0, 0);
  DismissNotice();
  ASSERT_NE(WaitMainWindowVisible(), nullptr);  // the PIN works from the showing on
  test::DeviceIdentity identity;
  Device device;
  ASSERT_TRUE(device.Connect(port, identity, "012345"));
  for (int i = 0; i < 3; ++i) {
    const std::optional<test::FileFromPc> got = test::ReceiveFileOnDevice(*device.client);
    ASSERT_TRUE(got) << i;
    EXPECT_EQ(got->data, "pending");
  }
  EXPECT_TRUE(WaitLog("Sending 3 file(s) to Test tablet")) << Log();
  QuitForUpdate();
}

TEST_F(GuiTest, ASecondStartWaitsOutAnInstanceWithoutAWindow) {
  // Another program holds the profile's lock without a window, as an instance does
  // while it starts or after its window is gone.
  CreateDirectoryW(Profile().c_str(), nullptr);
  SetProfileDir(Profile());
  HANDLE held = CreateMutexW(nullptr, TRUE, SingleInstanceMutexName(LocalDataDir()).c_str());
  ASSERT_NE(held, nullptr);
  const std::wstring file = dir.File(L"late.txt");
  ASSERT_TRUE(test::WriteFileBytes(file, "late but delivered"));
  Start(L" --pin 012345 --send \"" + file + L"\"");
  Sleep(4000);
  EXPECT_EQ(Log().find("starting"), std::string::npos);
  uint32_t code = 0;
  EXPECT_FALSE(host.Wait(0, code)) << "it still waits";
  ReleaseMutex(held);
  CloseHandle(held);
  ASSERT_TRUE(WaitLog("tavro 1.0.0 starting")) << Log();
  ASSERT_TRUE(WaitLog("listening on port"));
  ASSERT_TRUE(test::WaitUntil([&] { return MainWindow() != nullptr; }));
  PostMessageW(MainWindow(), RegisterWindowMessageW(kShowWindowMessage), 0, 0);
  DismissNotice();
  ASSERT_NE(WaitMainWindowVisible(), nullptr);  // the PIN works from the showing on
  test::DeviceIdentity identity;
  Device device;
  ASSERT_TRUE(device.Connect(port, identity, "012345"));
  const std::optional<test::FileFromPc> got = test::ReceiveFileOnDevice(*device.client);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->data, "late but delivered");
  QuitForUpdate();
}

TEST_F(GuiTest, ProfilesSideBySideEachGetTheirOwnFiles) {
  Start(L" --pin 012345");
  DismissNotice();
  ASSERT_NE(WaitMainWindowVisible(), nullptr);
  // B starts second, so its window is the class's newest.
  test::ChildProcess b;
  const std::wstring profileB = Profile(L"b");
  const uint16_t portB = test::FreeLoopbackPort();
  const std::wstring exe = L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --profile \"" + profileB + L"\"";
  ASSERT_TRUE(b.Start(exe + L" --port " + std::to_wstring(portB) + L" --pin 012345 --no-adb --no-driver --no-discovery",
                      dir.File(L"b-out.txt")));
  HWND noticeB = test::WaitForWindow(L"#32770", L"tavro", b.Id(), 20000);
  ASSERT_NE(noticeB, nullptr);
  ASSERT_TRUE(test::PressButton(noticeB, L"OK"));
  ASSERT_NE(test::WaitForWindow(kMainWindowClass, L"tavro", b.Id(), 20000), nullptr);

  test::DeviceIdentity identity;
  Device deviceA, deviceB;
  ASSERT_TRUE(deviceA.Connect(port, identity, "012345"));
  ASSERT_TRUE(deviceB.Connect(portB, identity, "012345"));
  const std::wstring fa = dir.File(L"for-a.txt"), fb = dir.File(L"for-b.txt");
  ASSERT_TRUE(test::WriteFileBytes(fa, "for A"));
  ASSERT_TRUE(test::WriteFileBytes(fb, "for B"));
  uint32_t code = 0xFFFF;
  test::ChildProcess toA, toB;
  ASSERT_TRUE(toA.Start(Line(L" --send \"" + fa + L"\"", Profile()), dir.File(L"to-a.txt")));
  ASSERT_TRUE(toA.Wait(20000, code));
  ASSERT_TRUE(toB.Start(exe + L" --send \"" + fb + L"\"", dir.File(L"to-b.txt")));
  ASSERT_TRUE(toB.Wait(20000, code));
  const std::optional<test::FileFromPc> gotA = test::ReceiveFileOnDevice(*deviceA.client);
  const std::optional<test::FileFromPc> gotB = test::ReceiveFileOnDevice(*deviceB.client);
  ASSERT_TRUE(gotA && gotB);
  EXPECT_EQ(gotA->data, "for A");
  EXPECT_EQ(gotB->data, "for B");

  HWND windowB = test::FindTopWindows(kMainWindowClass, L"tavro", b.Id()).front().hwnd;
  PostMessageW(windowB, kMsgQuitForUpdate, 0, 0);
  ASSERT_TRUE(b.Wait(20000, code));
  EXPECT_EQ(code, 0u);
  QuitForUpdate();
}

TEST_F(GuiTest, EndOfSessionAndClose) {
  Start(L"");
  DismissNotice();
  HWND window = WaitMainWindowVisible();
  ASSERT_NE(window, nullptr);
  DWORD_PTR answer = 0;
  ASSERT_TRUE(SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer));
  EXPECT_EQ(answer, 1u);
  // Closing hides; the hint is remembered.
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(test::WaitUntil([&] { return !IsWindowVisible(window); }, 5s));
  EXPECT_TRUE(IsWindow(window));
  ASSERT_TRUE(test::WaitUntil([&] {
    return test::ReadFileBytes(Profile() + L"\\settings.json").find("\"trayHintShown\": true") != std::string::npos;
  }, 5s)) << test::ReadFileBytes(Profile() + L"\\settings.json");
  SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, 0, SMTO_ABORTIFHUNG, 20000, nullptr);
  EXPECT_TRUE(WaitLog("Windows is shutting down"));
  EXPECT_TRUE(test::WaitUntil([&] { return !test::ConnectTcp("127.0.0.1", port, 500); }, 10s));
  uint32_t code = 0;
  EXPECT_FALSE(host.Wait(500, code)) << "the process lives on";
  QuitForUpdate();
}

// Wine's notification area sits at the top left, under the main window.
constexpr int kTrayIconX = 12, kTrayIconY = 38;

bool MenuOpen() { return !test::FindTopWindows(L"#32768", L"", 0, true).empty(); }

TEST_F(GuiTest, TrayIconClicksAndMenuRows) {
  Start(L" --minimized");
  ASSERT_TRUE(WaitLog("listening on port")) << Log();
  ASSERT_TRUE(test::WaitUntil([&] { return MainWindow() != nullptr; }));
  ASSERT_NE(test::WaitForWindow(L"Shell_TrayWnd", L"", 0, 10000), nullptr);
  test::ClickAt(kTrayIconX, kTrayIconY, false);
  ASSERT_NE(WaitDialog(), nullptr);
  Sleep(1000);
  EXPECT_EQ(Dialogs().size(), 1u);
  DismissNotice();
  HWND window = WaitMainWindowVisible();
  ASSERT_NE(window, nullptr);

  // "Open tavro" is the first row.
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(test::WaitUntil([&] { return !IsWindowVisible(window); }, 5s));
  test::ClickAt(kTrayIconX, kTrayIconY, true);
  ASSERT_TRUE(test::WaitUntil(&MenuOpen, 5s));
  test::SendKeys({VK_DOWN, VK_RETURN});
  DismissNotice();
  ASSERT_NE(WaitMainWindowVisible(), nullptr);

  // "Quit" is the last.
  PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(test::WaitUntil([&] { return !IsWindowVisible(window); }, 5s));
  test::ClickAt(kTrayIconX, kTrayIconY, true);
  ASSERT_TRUE(test::WaitUntil(&MenuOpen, 5s));
  test::SendKeys({VK_UP, VK_RETURN});
  uint32_t code = 0xFFFF;
  ASSERT_TRUE(host.Wait(20000, code)) << Log();
  EXPECT_EQ(code, 0u);
  const std::string log = Log();
  EXPECT_NE(log.find("INFO  Quitting"), std::string::npos) << log;
  EXPECT_NE(log.find("INFO  Exited"), std::string::npos) << log;
}

TEST_F(GuiTest, QuitFromTheTrayWhileTheNoticeIsOpen) {
  Start(L"");
  ASSERT_NE(WaitDialog(), nullptr);
  test::ClickAt(kTrayIconX, kTrayIconY, true);
  ASSERT_TRUE(test::WaitUntil(&MenuOpen, 5s));
  test::SendKeys({VK_UP, VK_RETURN});
  uint32_t code = 0xFFFF;
  ASSERT_TRUE(host.Wait(20000, code)) << Log();
  EXPECT_EQ(code, 0u);
  EXPECT_NE(Log().find("Exited"), std::string::npos);
}

TEST_F(GuiTest, FilePickerSendsTheChosenFile) {
  Start(L" --pin 012345");
  DismissNotice();
  HWND window = WaitMainWindowVisible();
  ASSERT_NE(window, nullptr);
  test::DeviceIdentity identity;
  Device device;
  ASSERT_TRUE(device.Connect(port, identity, "012345"));
  ASSERT_TRUE(WaitLog("connected via"));
  Sleep(1000);  // the state push that lists the device
  const std::wstring file = dir.File(L"picked.bin");
  std::string content(100000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(test::WriteFileBytes(file, content));

  auto openPicker = [&]() -> HWND {
    // The host drops a device that has been silent for six seconds.
    if (!device.Ping()) return nullptr;
    ShowWindow(window, SW_HIDE);  // off the tray icon
    test::ClickAt(kTrayIconX, kTrayIconY, true);
    if (!test::WaitUntil(&MenuOpen, 5s)) return nullptr;
    test::SendKeys({VK_DOWN, VK_DOWN, VK_RETURN});
    return test::WaitForWindow(L"", L"Send files to your device", host.Id(), 10000);
  };
  // Cancel sends nothing.
  HWND picker = openPicker();
  ASSERT_NE(picker, nullptr);
  ASSERT_TRUE(test::PressButton(picker, L"Cancel"));
  ASSERT_TRUE(test::WaitUntil([&] { return !IsWindow(picker); }, 5s));
  Sleep(500);
  EXPECT_EQ(Log().find("Sending"), std::string::npos);

  picker = openPicker();
  ASSERT_NE(picker, nullptr);
  bool hasSend = false;
  HWND edit = nullptr;
  for (const test::ControlInfo& c : test::Controls(picker)) {
    if (c.className == L"Button" && c.text == L"Send") hasSend = true;
    if (c.className == L"Edit" && edit == nullptr) edit = c.hwnd;
  }
  EXPECT_TRUE(hasSend);
  ASSERT_NE(edit, nullptr);
  SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(file.c_str()), SMTO_ABORTIFHUNG, 3000, nullptr);
  ASSERT_TRUE(test::PressButton(picker, L"Send"));
  const std::optional<test::FileFromPc> got = test::ReceiveFileOnDevice(*device.client);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->name, "picked.bin");
  EXPECT_EQ(got->data, content);
  EXPECT_TRUE(WaitLog("Sending 1 file(s) to Test tablet")) << Log();
  QuitForUpdate();
}

TEST(TavroExeTest, HasItsIconAndTheCommonControlsManifest) {
  HMODULE exe = LoadLibraryExW(test::SiblingExe(L"tavro.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  EXPECT_NE(FindResourceW(exe, MAKEINTRESOURCEW(1), RT_GROUP_ICON), nullptr);
  HRSRC manifest = FindResourceW(exe, MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(manifest, nullptr);
  HGLOBAL data = LoadResource(exe, manifest);
  const std::string text(static_cast<const char*>(LockResource(data)), SizeofResource(exe, manifest));
  EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos) << text;
  FreeLibrary(exe);
}

}  // namespace
}  // namespace kelm
