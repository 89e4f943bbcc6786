// The application object in this process, with the shell, menu and dialog calls
// recorded: tray icon calls, menu rows, balloons, the PIN window and re-entry.
#include <gtest/gtest.h>

#include <objbase.h>
#include <shlobj.h>
#include <thread>

#include "app/app.h"
#include "app/app_texts.h"
#include "core/paths.h"
#include "core/text.h"
#include "gui_probe.h"
#include "support/device_client.h"
#include "support/device_files.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;

struct NotifyCall {
  DWORD message = 0;
  UINT flags = 0;
  std::wstring tip, infoTitle, info;
};

struct MenuRow {
  UINT id = 0;
  std::wstring text;
  bool separator = false, grayed = false, checked = false, isDefault = false;
};

std::vector<MenuRow> ReadMenu(HMENU menu) {
  std::vector<MenuRow> rows;
  for (int i = 0; i < GetMenuItemCount(menu); ++i) {
    wchar_t text[256] = {};
    MENUITEMINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 256;
    GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info);
    rows.push_back({info.wID, text, (info.fType & MFT_SEPARATOR) != 0, (info.fState & MFS_GRAYED) != 0,
                    (info.fState & MFS_CHECKED) != 0, (info.fState & MFS_DEFAULT) != 0});
  }
  return rows;
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 15s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(5);
  }
  return true;
}

void PumpFor(std::chrono::milliseconds time) {
  PumpUntil([] { return false; }, time);
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetProfileDir(dir.File(L"p"));
    overrides.port = port;
    overrides.pin = 12345;
    overrides.noAdb = overrides.noDriver = overrides.noDiscovery = true;
    seams.notifyIcon = [this](DWORD message, NOTIFYICONDATAW* d) {
      calls.push_back({message, d->uFlags, d->szTip, d->szInfoTitle, d->szInfo});
      return TRUE;
    };
    seams.trackMenu = [this](HMENU menu, POINT, HWND) {
      menuRows = ReadMenu(menu);
      return menuChoice;
    };
    seams.dialogs.taskDialog = [this](const TASKDIALOGCONFIG*) {
      ++dialogs;
      if (duringDialog) duringDialog();
      return dialogResult;
    };
    seams.dialogs.messageBox = [this](HWND, const wchar_t* text, const wchar_t* title, UINT type) {
      boxText = text;
      boxTitle = title;
      boxType = type;
      return IDOK;
    };
    seams.pcWindowOpen = [this] { ++windowOpenCalls; };
  }
  void TearDown() override {
    app.reset();
    CoUninitialize();
  }

  void StartApp() {
    app = std::make_unique<App>(GetModuleHandleW(nullptr), overrides, false, std::vector<std::wstring>{}, seams);
    ASSERT_FALSE(app->Start(true).has_value());
    ASSERT_TRUE(PumpUntil([&] { return app->StatusText() == L"Ready \u2014 waiting for your tablet"; }));
  }
  bool BalloonShown(const std::wstring& title) const {
    for (const NotifyCall& c : calls)
      if ((c.flags & NIF_INFO) && c.infoTitle == title) return true;
    return false;
  }
  // A device admitted with the PIN (the window must be open), connected on its thread.
  void ConnectDevice() {
    deviceDone = false;
    deviceThread = std::thread([this] {
      stream = test::ConnectTcp("127.0.0.1", port);
      if (stream) {
        client = std::make_unique<test::DeviceClient>(*stream);
        test::HandshakeOptions options;
        options.pairing = test::PairingCode{0, 0, "012345"};
        const test::HandshakeOutcome o = client->Handshake(identity, options);
        test::HelloFields hello;
        hello.name = "Test tablet";
        uint8_t type = 0;
        test::Bytes payload;
        deviceOk = o.admissionResult == 0 && client->SendRecord(1, test::BuildHello(hello)) &&
                   client->ReadRecord(type, payload) && type == 2;
      }
      deviceDone = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return deviceDone.load(); }));
    deviceThread.join();
    ASSERT_TRUE(deviceOk);
  }

  test::TempDir dir;
  uint16_t port = test::FreeLoopbackPort();
  CliOverrides overrides;
  AppSeams seams;
  std::vector<NotifyCall> calls;
  std::vector<MenuRow> menuRows;
  UINT menuChoice = 0;
  int dialogs = 0;
  HRESULT dialogResult = S_OK;
  std::function<void()> duringDialog;
  std::wstring boxText, boxTitle;
  UINT boxType = 0;
  int windowOpenCalls = 0;
  std::unique_ptr<App> app;
  test::DeviceIdentity identity;
  std::unique_ptr<test::TestTcpStream> stream;
  std::unique_ptr<test::DeviceClient> client;
  std::thread deviceThread;
  std::atomic<bool> deviceDone{false};
  bool deviceOk = false;
};

TEST_F(AppTest, TrayIconIsAddedWithItsTooltipsAndComesBackAfterExplorer) {
  StartApp();
  ASSERT_GE(calls.size(), 3u);
  EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(calls[0].tip, L"tavro\nStarting\u2026");
  EXPECT_EQ(calls[1].message, static_cast<DWORD>(NIM_SETVERSION));
  bool ready = false;
  for (const NotifyCall& c : calls)
    if (c.message == NIM_MODIFY && c.tip == L"tavro\nReady \u2014 waiting for your tablet") ready = true;
  EXPECT_TRUE(ready);
  calls.clear();
  SendMessageTimeoutW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 3000, nullptr);
  ASSERT_TRUE(PumpUntil([&] { return !calls.empty(); }, 5s));
  EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(calls[0].tip, L"tavro\nReady \u2014 waiting for your tablet");
}

TEST_F(AppTest, MenuRowsAndTheSendRowFollowsTheDevice) {
  StartApp();
  app->ShowTrayMenu({10, 10});
  ASSERT_EQ(menuRows.size(), 8u);
  const UINT ids[] = {100, 101, 0, 0, 0, 102, 0, 103};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(menuRows[i].id, ids[i]) << i;
  EXPECT_EQ(menuRows[0].text, L"Open tavro");
  EXPECT_TRUE(menuRows[0].isDefault);
  EXPECT_EQ(menuRows[1].text, L"Send files to device\u2026");
  EXPECT_TRUE(menuRows[1].grayed);
  EXPECT_TRUE(menuRows[2].separator && menuRows[4].separator && menuRows[6].separator);
  EXPECT_EQ(menuRows[3].text, L"Ready \u2014 waiting for your tablet");
  EXPECT_TRUE(menuRows[3].grayed);
  EXPECT_EQ(menuRows[5].text, L"Start with Windows");
  EXPECT_EQ(menuRows[7].text, L"Quit");

  app->ShowMainWindow();
  ConnectDevice();
  ASSERT_TRUE(PumpUntil([&] { return app->StatusText() == L"Connected to Test tablet via USB"; }));
  app->ShowTrayMenu({10, 10});
  EXPECT_FALSE(menuRows[1].grayed);
  EXPECT_EQ(menuRows[3].text, L"Connected to Test tablet via USB");
  EXPECT_TRUE(BalloonShown(L"Tablet connected"));
}

TEST_F(AppTest, StartWithWindowsWritesAndDeletesTheRunValue) {
  const bool before = IsAutostartEnabled();
  StartApp();
  menuChoice = kMenuAutostart;
  app->ShowTrayMenu({10, 10});
  EXPECT_EQ(IsAutostartEnabled(), !before);
  app->ShowTrayMenu({10, 10});
  EXPECT_EQ(IsAutostartEnabled(), before);
  EXPECT_EQ(menuRows[5].checked, !before);
}

TEST_F(AppTest, ASessionFirstSeenWithoutAnnouncingGetsNoBalloon) {
  StartApp();
  app->ShowMainWindow();
  // Connect without pumping, so the host's change waits in the queue.
  std::thread device([this] {
    stream = test::ConnectTcp("127.0.0.1", port);
    client = std::make_unique<test::DeviceClient>(*stream);
    test::HandshakeOptions options;
    options.pairing = test::PairingCode{0, 0, "012345"};
    client->Handshake(identity, options);
    test::HelloFields hello;
    hello.name = "Test tablet";
    uint8_t type = 0;
    test::Bytes payload;
    client->SendRecord(1, test::BuildHello(hello));
    client->ReadRecord(type, payload);
  });
  device.join();
  for (int i = 0; i < 500 && app->Host().GetStatus().sessions.empty(); ++i) Sleep(10);
  ASSERT_FALSE(app->Host().GetStatus().sessions.empty());
  app->PushState(false);
  PumpFor(1000ms);
  EXPECT_FALSE(BalloonShown(L"Tablet connected"));
  // The same session leaving is announced.
  stream->Shutdown();
  ASSERT_TRUE(PumpUntil([&] { return BalloonShown(L"Tablet disconnected"); }));
}

TEST_F(AppTest, PinTicksTellTheHostOnlyWhileTheWindowIsShown) {
  StartApp();
  HWND window = app->Window();
  SendMessageW(window, WM_TIMER, 1, 0);
  EXPECT_EQ(windowOpenCalls, 0);
  app->ShowMainWindow();
  EXPECT_EQ(windowOpenCalls, 1);
  SendMessageW(window, WM_TIMER, 1, 0);
  EXPECT_EQ(windowOpenCalls, 2);
  SendMessageW(window, WM_TIMER, 2, 0);  // not our timer
  EXPECT_EQ(windowOpenCalls, 2);
  ShowWindow(window, SW_MINIMIZE);
  SendMessageW(window, WM_TIMER, 1, 0);
  EXPECT_EQ(windowOpenCalls, 2);
  ShowWindow(window, SW_RESTORE);
  SendMessageW(window, WM_TIMER, 1, 0);
  EXPECT_EQ(windowOpenCalls, 3);
  SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(IsWindowVisible(window));
  SendMessageW(window, WM_TIMER, 1, 0);
  EXPECT_EQ(windowOpenCalls, 3);
}

TEST_F(AppTest, TheTrayHintComesWithTheFirstCloseEver) {
  StartApp();
  auto hints = [&] {
    int n = 0;
    for (const NotifyCall& c : calls)
      if ((c.flags & NIF_INFO) && c.infoTitle == L"tavro keeps running in the tray") ++n;
    return n;
  };
  app->ShowMainWindow();
  SendMessageW(app->Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(hints(), 1);
  EXPECT_TRUE(IsWindow(app->Window()));
  app->ShowMainWindow();
  SendMessageW(app->Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(hints(), 1);
  // Remembered for the next run.
  app.reset();
  calls.clear();
  StartApp();
  EXPECT_TRUE(app->CurrentSettings().trayHintShown);
  app->ShowMainWindow();
  SendMessageW(app->Window(), WM_CLOSE, 0, 0);
  EXPECT_EQ(hints(), 0);
}

TEST_F(AppTest, AFailingTaskDialogFallsBackToAMessageBox) {
  dialogResult = E_FAIL;
  StartApp();
  app->ShowMainWindow();
  EXPECT_EQ(dialogs, 1);
  EXPECT_EQ(boxTitle, L"tavro");
  EXPECT_EQ(boxText, std::wstring(L"tavro needs the Microsoft Edge WebView2 Runtime to show its window.\n\nInstall it "
                                  L"from:\n") +
                         kWebViewDownloadUrl + L"\n\ntavro keeps running in the system tray.");
  EXPECT_EQ(boxType, static_cast<UINT>(MB_ICONWARNING | MB_OK));
  EXPECT_TRUE(IsWindowVisible(app->Window()));
}

TEST_F(AppTest, ClicksAndQuitDuringTheNoticeOpenNoSecondOneAndDoNotCrash) {
  StartApp();
  HWND window = app->Window();
  duringDialog = [&] {
    // A tray click while the notice is up, then Quit from the tray menu.
    SendMessageW(window, kMsgTray, 0, NIN_SELECT);
    menuChoice = kMenuQuit;
    app->ShowTrayMenu({10, 10});
  };
  app->ShowMainWindow();
  EXPECT_EQ(dialogs, 1);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(app->Window(), nullptr);
  MSG msg;
  EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  // No stray timer without a window.
  PumpFor(200ms);
}

TEST_F(AppTest, BalloonClicksOpenTheReceivedFileOrTheWindow) {
  StartApp();
  app->ShowMainWindow();
  ConnectDevice();
  ASSERT_TRUE(test::SendFileFromDevice(*client, 7, "balloon-test.txt", "hello"));
  ASSERT_TRUE(PumpUntil([&] { return BalloonShown(L"Received from Test tablet"); }));
  ShowWindow(app->Window(), SW_HIDE);
  SendMessageW(app->Window(), kMsgTray, 0, NIN_BALLOONUSERCLICK);
  HWND explorer = nullptr;
  ASSERT_TRUE(PumpUntil([&] {
    for (const test::WindowInfo& w : test::FindTopWindows(L"", L"tavro", 0, true))
      if (w.processId != GetCurrentProcessId()) explorer = w.hwnd;
    return explorer != nullptr;
  }));
  EXPECT_FALSE(IsWindowVisible(app->Window()));
  PostMessageW(explorer, WM_CLOSE, 0, 0);
  EXPECT_TRUE(PumpUntil([&] { return !IsWindow(explorer); }, 10s));
  // Any other balloon: a click shows the window.
  PostUserText(app->Window(), "A text for the user");
  ASSERT_TRUE(PumpUntil([&] { return BalloonShown(L"tavro"); }));
  SendMessageW(app->Window(), kMsgTray, 0, NIN_BALLOONUSERCLICK);
  EXPECT_TRUE(IsWindowVisible(app->Window()));
  // Downloads belongs to the whole prefix: remove what this test received.
  PWSTR downloads = nullptr;
  ASSERT_TRUE(SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Downloads, 0, nullptr, &downloads)));
  const std::wstring folder = std::wstring(downloads) + L"\\tavro\\";
  CoTaskMemFree(downloads);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"balloon-test*.txt").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do DeleteFileW((folder + found.cFileName).c_str());
    while (FindNextFileW(search, &found));
    FindClose(search);
  }
}

}  // namespace
}  // namespace kelm
