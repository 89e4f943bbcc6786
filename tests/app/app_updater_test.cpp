// The application's updater against the local update site: the command line's site and
// key, the log lines of a check, the once-per-version balloon and its saved version, the
// devices' notice while an update is required, and the quit for an installer.
#include <gtest/gtest.h>

#include <objbase.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include "app/app.h"
#include "core/paths.h"
#include "core/settings.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"
#include "update/site_test_base.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using test::ReadFileBytes;
using test::SiblingExe;
using test::UpdateSite;

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

class AppUpdaterTest : public test::UpdateSiteTest {
 protected:
  void SetUp() override {
    UpdateSiteTest::SetUp();
    if (IsSkipped()) return;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    SetProfileDir(dir.File(L"p"));
    CreateDirectoryW(dir.File(L"p").c_str(), nullptr);
    log = std::make_unique<test::LogCapture>(dir.File(L"p\\host.log"));
    overrides.port = port;
    overrides.pin = 12345;
    overrides.noAdb = overrides.noDriver = overrides.noDiscovery = true;
    overrides.updateUrl = Base();
    overrides.updateKey = UpdateSite::KeyFile("update.pub.txt");
    seams.notifyIcon = [this](DWORD, NOTIFYICONDATAW* d) {
      if (d->uFlags & NIF_INFO) balloons.emplace_back(d->szInfoTitle, d->szInfo);
      return TRUE;
    };
    seams.trackMenu = [](HMENU, POINT, HWND) { return 0u; };
    seams.dialogs.taskDialog = [](const TASKDIALOGCONFIG*) { return S_OK; };
    seams.dialogs.messageBox = [](HWND, const wchar_t*, const wchar_t*, UINT) { return IDOK; };
    seams.updater.servicePipeName =
        L"\\\\.\\pipe\\tavro.test.noservice." + std::to_wstring(GetCurrentProcessId());
  }
  void TearDown() override {
    if (IsSkipped()) return;
    app.reset();
    log.reset();
    CoUninitialize();
  }

  void StartApp() {
    app = std::make_unique<App>(GetModuleHandleW(nullptr), overrides, false, std::vector<std::wstring>{}, seams);
    ASSERT_FALSE(app->Start(true).has_value());
  }
  bool LogHas(const std::string& level, const std::string& what, std::chrono::milliseconds limit) {
    return PumpUntil([&] { return test::LogLines(log->Text(), level, what) > 0; }, limit);
  }
  size_t BalloonCount(const std::wstring& title) const {
    size_t n = 0;
    for (const auto& [t, text] : balloons) n += t == title;
    return n;
  }
  bool Available() {
    return PumpUntil([&] {
      Updater* u = app->CurrentUpdater();
      return u != nullptr && u->GetState().phase == Updater::kAvailable;
    });
  }

  test::TempDir dir;
  uint16_t port = test::FreeLoopbackPort();
  CliOverrides overrides;
  AppSeams seams;
  std::unique_ptr<test::LogCapture> log;
  std::vector<std::pair<std::wstring, std::wstring>> balloons;
  std::unique_ptr<App> app;
};

TEST_F(AppUpdaterTest, AnOfferedVersionIsLoggedAndAnnouncedOncePerVersion) {
  Publish("stable", "1.2.0", "installer", R"(,"notes":"https://tavro.app/releases/1.2.0")");
  const auto started = std::chrono::steady_clock::now();
  StartApp();
  ASSERT_TRUE(LogHas("INFO", "Update available: tavro 1.2.0", 5s)) << log->Text();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  ASSERT_TRUE(Available());
  ASSERT_TRUE(PumpUntil([&] { return BalloonCount(L"tavro 1.2.0 is available") > 0; }, 5s));
  PumpUntil([] { return false; }, 500ms);
  EXPECT_EQ(BalloonCount(L"tavro 1.2.0 is available"), 1u);
  for (const auto& [title, text] : balloons) {
    if (title == L"tavro 1.2.0 is available") {
      EXPECT_EQ(text, L"Open tavro and click Update when it suits you.");
    }
  }
  EXPECT_EQ(app->CurrentSettings().updateNotifiedVersion, "1.2.0");
  EXPECT_EQ(LoadSettings().updateNotifiedVersion, "1.2.0");
  // A check the page asks for that finds the same version again announces nothing.
  app->OnWebMessage("checkUpdates", nlohmann::json{{"cmd", "checkUpdates"}});
  ASSERT_TRUE(PumpUntil([&] { return test::LogLines(log->Text(), "INFO", "Update available: tavro 1.2.0") >= 2; }));
  PumpUntil([] { return false; }, 500ms);
  EXPECT_EQ(BalloonCount(L"tavro 1.2.0 is available"), 1u);

  // Nor does the next run.
  app.reset();
  balloons.clear();
  StartApp();
  ASSERT_TRUE(Available());
  PumpUntil([] { return false; }, 700ms);
  EXPECT_EQ(BalloonCount(L"tavro 1.2.0 is available"), 0u);
}

TEST_F(AppUpdaterTest, ABadlySignedManifestIsLoggedAndOffersNothing) {
  Publish("stable", "1.2.0", "installer");
  // The signature of another key over the same text.
  ASSERT_FALSE(UpdateSite::Sign(Path("stable/windows/latest.json"), "other-update").empty());
  StartApp();
  ASSERT_TRUE(LogHas("WARN", "Update check failed: the manifest's signature isn't valid", 5s)) << log->Text();
  PumpUntil([] { return false; }, 300ms);
  EXPECT_EQ(app->CurrentUpdater()->GetState().phase, static_cast<uint32_t>(Updater::kIdle));
  EXPECT_TRUE(balloons.empty() || BalloonCount(L"tavro 1.2.0 is available") == 0);
  EXPECT_EQ(app->CurrentSettings().updateNotifiedVersion, "");
}

TEST_F(AppUpdaterTest, ARequiredUpdateTurnsNewDevicesAway) {
  Publish("stable", "1.2.0", "installer", R"(,"minimumVersion":"1.1.0")");
  StartApp();
  ASSERT_TRUE(Available());
  EXPECT_TRUE(app->CurrentUpdater()->GetState().required);
  ASSERT_TRUE(PumpUntil([&] { return BalloonCount(L"tavro 1.2.0 is available") == 1; }, 5s));
  for (const auto& [title, text] : balloons) {
    if (title == L"tavro 1.2.0 is available") {
      EXPECT_EQ(text, L"This update is required. Open tavro and click Update.");
    }
  }
  app->ShowMainWindow();  // the PIN works while the window is open

  std::atomic<bool> done{false};
  uint8_t status = 0xFF;
  std::string welcome;
  std::thread device([&] {
    auto stream = test::ConnectTcp("127.0.0.1", port);
    if (stream) {
      test::DeviceClient client(*stream);
      test::DeviceIdentity identity;
      test::HandshakeOptions options;
      options.pairing = test::PairingCode{0, 0, "012345"};
      if (client.Handshake(identity, options).admissionResult == 0 && client.SendRecord(1, test::BuildHello({}))) {
        uint8_t type = 0;
        test::Bytes payload;
        if (client.ReadRecord(type, payload) && type == 2 && payload.size() > 6) {
          status = payload[6];
          welcome.assign(payload.begin(), payload.end());
        }
      }
    }
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }, 30s));
  device.join();
  EXPECT_EQ(status, 4);
  EXPECT_NE(welcome.find("tavro on this PC must be updated: open tavro on the PC and click Update."),
            std::string::npos);
}

TEST_F(AppUpdaterTest, AHandedOverInstallerQuitsTheApp) {
  const std::string program = ReadFileBytes(SiblingExe(L"fake_installer.exe"));
  ASSERT_TRUE(UpdateSite::WriteFile(Path("unsigned.exe"), program));
  ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("running.exe"), "signer"));
  ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("signed.exe"), "signer"));
  Publish("stable", "1.2.0", ReadFileBytes(UpdateSite::FilePath(Path("signed.exe"))));
  std::atomic<int> started{0};
  seams.updater.runningProgramPath = UpdateSite::FilePath(Path("running.exe"));
  seams.updater.shellExecute = [&](const std::wstring&, const std::wstring&) -> uint32_t {
    ++started;
    return 0;
  };
  StartApp();
  ASSERT_TRUE(Available());
  // The page's command, as the page host hands it over.
  app->OnWebMessage("installUpdate", nlohmann::json{{"cmd", "installUpdate"}, {"version", "1.2.0"}});
  // The program's own loop, as Run has it: it must end with WM_QUIT and exit code 0.
  const DWORD uiThread = GetCurrentThreadId();
  std::atomic<bool> ended{false};
  std::thread guard([&] {
    for (int i = 0; i < 600 && !ended; ++i) Sleep(50);
    if (!ended) PostThreadMessageW(uiThread, WM_QUIT, 99, 0);
  });
  MSG msg{};
  BOOL got = 0;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  ended = true;
  guard.join();
  EXPECT_EQ(got, 0);
  EXPECT_EQ(msg.wParam, 0u);
  EXPECT_EQ(test::LogLines(log->Text(), "INFO", "Quitting for the update"), 1u) << log->Text();
  EXPECT_EQ(started.load(), 1);
  EXPECT_EQ(app->Window(), nullptr);
}

}  // namespace
}  // namespace kelm
