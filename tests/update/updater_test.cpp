// The updater in-process against the local update site: timed and requested checks,
// install requests, the Windows-approval path through its seam and for real, and
// destruction while the network is slow.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/encoding.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/win_handle.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"
#include "update/hash_open_file.h"
#include "update/site_test_base.h"
#include "update/test_pipe_server.h"
#include "update/updater.h"

namespace kelm::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class UpdaterTest : public UpdateSiteTest {
 protected:
  void SetUp() override {
    UpdateSiteTest::SetUp();
    if (IsSkipped()) return;
    SetProfileDir(profile_.Path());
    log_ = std::make_unique<LogCapture>(profile_.File(L"host.log"));
  }
  void TearDown() override { log_.reset(); }

  UpdaterConfig Config(const std::string& segments = "") {
    UpdaterConfig config = SiteConfig(segments);
    config.firstDelayMs = 0;
    config.onStateChanged = [this] { ++changes_; };
    config.onQuitForUpdate = [this] { ++quits_; };
    return config;
  }
  static bool WaitFor(Updater& updater, const std::function<bool(const Updater::State&)>& done,
                      std::chrono::milliseconds limit = 20s) {
    return WaitUntil([&] { return done(updater.GetState()); }, limit);
  }
  static bool Checked(const Updater::State& s) { return !s.lastCheck.empty() && s.phase != Updater::kChecking; }
  std::string Log() { return log_->Text(); }
  std::wstring InstallerPath(const std::string& version) const {
    return profile_.File(L"updates\\tavro-Setup-" + std::wstring(version.begin(), version.end()) + L".exe");
  }
  std::string ManifestPath(const std::string& segments = "") const {
    return segments + "/" + Path("stable/windows/latest.json");
  }

  TempDir profile_;
  std::unique_ptr<LogCapture> log_;
  std::atomic<int> changes_{0};
  std::atomic<int> quits_{0};
};

TEST_F(UpdaterTest, FirstCheckAfterTheDelayFindsANewerVersion) {
  Publish("stable", "1.2.0", "installer", R"(,"minimumVersion":"1.1.0","notes":"https://n.example/1.2.0")");
  UpdaterConfig config = Config();
  config.firstDelayMs = 1500;
  Updater updater(std::move(config));
  std::this_thread::sleep_for(1000ms);
  EXPECT_EQ(UpdateSite::Count(ManifestPath()), 0);
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
  const auto state = updater.GetState();
  EXPECT_TRUE(state.required);
  EXPECT_EQ(state.lastCheck.size(), 5u);
  EXPECT_NE(Log().find("Update available: tavro 1.2.0 (required)"), std::string::npos);
  const auto json = nlohmann::json::parse(UpdateStateJson(state, Version{1, 0, 0}));
  EXPECT_EQ(json["phase"], "available");
  EXPECT_EQ(json["version"], "1.2.0");
  EXPECT_EQ(json["notes"], "https://n.example/1.2.0");
  EXPECT_EQ(json["required"], true);
  EXPECT_GT(changes_.load(), 0);
}

TEST_F(UpdaterTest, NotRequiredAndNotNewer) {
  Publish("stable", "1.2.0", "installer");
  {
    Updater updater(Config());
    ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
    EXPECT_FALSE(updater.GetState().required);
    const std::string log = Log();
    const size_t at = log.find("Update available: tavro 1.2.0");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("(required)"), std::string::npos) << log;
  }
  Publish("stable", "1.0.0", "installer");
  Updater updater(Config());
  ASSERT_TRUE(WaitFor(updater, Checked));
  const auto state = updater.GetState();
  EXPECT_EQ(state.phase, Updater::kIdle);
  EXPECT_FALSE(state.manifest);
  EXPECT_NE(Log().find("Update check: tavro 1.0.0 is the newest version"), std::string::npos);
}

TEST_F(UpdaterTest, TwoChecksDuringASlowCheckRunOneMore) {
  const std::string slow = "/delay/1500";
  Publish("stable", "1.0.0", "installer");
  Updater updater(Config(slow));
  ASSERT_TRUE(WaitUntil([&] { return UpdateSite::Count(ManifestPath(slow)) == 1; }));
  updater.CheckNow();
  updater.CheckNow();
  ASSERT_TRUE(WaitUntil([&] { return UpdateSite::Count(ManifestPath(slow)) == 2; }));
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kIdle; }));
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(UpdateSite::Count(ManifestPath(slow)), 2);
}

TEST_F(UpdaterTest, AFailedCheckKeepsTheAvailableVersion) {
  Publish("stable", "1.2.0", "installer");
  Updater updater(Config());
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
  DeleteFileW(UpdateSite::FilePath(Path("stable/windows/latest.json.sig")).c_str());
  updater.CheckNow();
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return !s.error.empty(); }));
  const auto state = updater.GetState();
  EXPECT_EQ(state.phase, Updater::kAvailable);
  EXPECT_EQ(state.error, "Couldn't check for updates (signature: HTTP 404).");
  EXPECT_EQ(nlohmann::json::parse(UpdateStateJson(state, Version{1, 0, 0}))["version"], "1.2.0");
  EXPECT_NE(Log().find("Update check failed: signature: HTTP 404"), std::string::npos);
}

TEST_F(UpdaterTest, InstallOfAVersionNoLongerOffered) {
  Publish("stable", "1.2.0", "installer 1.2.0");
  Updater updater(Config());
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
  Publish("stable", "1.3.0", "installer 1.3.0");
  updater.Install("1.2.0");
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return !s.error.empty(); }));
  EXPECT_EQ(updater.GetState().error, "tavro 1.3.0 is out now: click Update to install it.");
  EXPECT_NE(Log().find("Update: 1.2.0 was asked for, but 1.3.0 is the newest now"), std::string::npos);
  EXPECT_EQ(UpdateSite::Count("/" + Path("files/tavro-Setup-1.2.0.exe")), 0);
  EXPECT_EQ(UpdateSite::Count("/" + Path("files/tavro-Setup-1.3.0.exe")), 0);

  DeleteFileW(UpdateSite::FilePath(Path("stable/windows/latest.json")).c_str());
  updater.Install("1.3.0");
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) {
    return s.error == "That version isn't available any more: check for updates again.";
  }));
  EXPECT_EQ(quits_.load(), 0);
}

struct ShellCase {
  uint32_t answer;
  const char* error;  // empty: accepted
};

TEST_F(UpdaterTest, TheWindowsPromptThroughItsSeam) {
  const std::string installer(300000, 'x');
  Publish("stable", "1.2.0", installer);
  const ShellCase cases[] = {
      {ERROR_CANCELLED, "The update failed: The update needs your approval in the Windows prompt."},
      {ERROR_FILE_NOT_FOUND, "The update failed: Starting the installer failed (2)."},
      {0, ""},
  };
  for (const auto& c : cases) {
    UpdaterConfig config = Config();
    std::wstring started;
    std::wstring parameters;
    DWORD writeError = 0, deleteError = 0, renameError = 0;
    bool hashMatches = false;
    config.test.shellExecute = [&](const std::wstring& file, const std::wstring& params) -> uint32_t {
      started = file;
      parameters = params;
      if (CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                      nullptr) == INVALID_HANDLE_VALUE) {
        writeError = GetLastError();
      }
      if (!DeleteFileW(file.c_str())) deleteError = GetLastError();
      if (!MoveFileW(file.c_str(), (file + L".moved").c_str())) renameError = GetLastError();
      WinHandle reader(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      std::array<uint8_t, 32> digest{};
      uint64_t size = 0;
      hashMatches = reader && update::HashOpenFile(reader.Get(), digest, size) && size == installer.size() &&
                    HexEncode(digest) == Sha256Hex(installer);
      return c.answer;
    };
    quits_ = 0;
    Updater* self = nullptr;
    const auto shell = config.test.shellExecute;
    // A check asked for while installing is dropped.
    config.test.shellExecute = [&](const std::wstring& file, const std::wstring& params) -> uint32_t {
      const auto state = self->GetState();
      EXPECT_EQ(state.phase, Updater::kInstalling);
      // The download's end is shown, and it is over.
      EXPECT_EQ(state.bytesReceived, installer.size());
      EXPECT_EQ(state.bytesTotal, installer.size());
      EXPECT_FALSE(state.downloading);
      self->CheckNow();
      return shell(file, params);
    };
    Updater updater(std::move(config));
    self = &updater;
    ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
    updater.Install("1.2.0");
    if (*c.error != '\0') {
      ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kFailed; })) << c.answer;
      EXPECT_EQ(updater.GetState().error, c.error);
      EXPECT_TRUE(FileExists(InstallerPath("1.2.0")));
      EXPECT_EQ(quits_.load(), 0);
    } else {
      ASSERT_TRUE(WaitUntil([&] { return quits_.load() == 1; }));
      const int gets = UpdateSite::Count(ManifestPath());
      std::this_thread::sleep_for(1000ms);
      EXPECT_EQ(quits_.load(), 1);
      EXPECT_EQ(UpdateSite::Count(ManifestPath()), gets);
      EXPECT_EQ(updater.GetState().phase, Updater::kInstalling);
      EXPECT_NE(Log().find("Installer started with Windows approval; quitting"), std::string::npos);
    }
    EXPECT_EQ(started, InstallerPath("1.2.0"));
    EXPECT_EQ(parameters, L"/SILENT /SUPPRESSMSGBOXES /NORESTART /RESTARTTAVRO=1");
    EXPECT_EQ(writeError, 32u);
    EXPECT_EQ(deleteError, 32u);
    EXPECT_EQ(renameError, 32u);
    EXPECT_TRUE(hashMatches);
    EXPECT_FALSE(updater.GetState().downloading);
  }
  EXPECT_NE(Log().find("Installing tavro 1.2.0 (asked by the user)"), std::string::npos);
}

TEST_F(UpdaterTest, TheServiceIsAskedFirst) {
  Publish("stable", "1.2.0", "installer");
  struct Case {
    const char* reply;
    uint32_t phase;     // after the answer (Installing: handed over)
    const char* error;
    const char* line;
  };
  const Case cases[] = {
      {R"({"ok":true})", Updater::kInstalling, "", "The tavro service installs the update; quitting"},
      {R"({"ok":false,"error":"nope"})", Updater::kAvailable, "nope", "The tavro service refused the update: nope"},
      {R"({"ok":false,"error":"not an administrator","fallback":true})", Updater::kFailed,
       "The update failed: The update needs your approval in the Windows prompt.",
       "The tavro service can't install it (not an administrator); asking Windows for approval"},
  };
  int round = 0;
  for (const auto& c : cases) {
    const std::wstring pipe = L"\\\\.\\pipe\\tavro.test.updater." + std::to_wstring(GetCurrentProcessId()) + L"." +
                              std::to_wstring(round++);
    TestPipeServer server(pipe, true, [&](HANDLE h, TestPipeServer::Seen& seen) {
      if (TestPipeServer::ReadRequest(h, seen)) WriteMessage(h, 4, c.reply);
      TestPipeServer::WaitForClose(h, seen);
    });
    ASSERT_TRUE(server.Ok());
    UpdaterConfig config = Config();
    config.test.servicePipeName = pipe;
    int shellCalls = 0;
    config.test.shellExecute = [&](const std::wstring&, const std::wstring&) -> uint32_t {
      ++shellCalls;
      return ERROR_CANCELLED;
    };
    quits_ = 0;
    Updater updater(std::move(config));
    ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
    updater.Install("1.2.0");
    if (c.phase == Updater::kInstalling) {
      ASSERT_TRUE(WaitUntil([&] { return quits_.load() == 1; })) << c.reply;
    } else {
      ASSERT_TRUE(WaitFor(updater, [&](const auto& s) { return s.error == c.error && s.phase == c.phase; }))
          << c.reply << ": " << updater.GetState().error;
    }
    EXPECT_EQ(updater.GetState().phase, c.phase) << c.reply;
    EXPECT_NE(Log().find(c.line), std::string::npos) << c.reply;
    EXPECT_EQ(server.Result().body, R"({"channel":"stable","version":"1.2.0"})");
    EXPECT_EQ(shellCalls, c.phase == Updater::kFailed ? 1 : 0) << c.reply;
    // Only the Windows-approval path downloads.
    EXPECT_EQ(UpdateSite::Count("/" + Path("files/tavro-Setup-1.2.0.exe")), c.phase == Updater::kFailed ? 1 : 0);
  }
}

TEST_F(UpdaterTest, DestroyingItWhileTheServiceIsSilent) {
  Publish("stable", "1.2.0", "installer");
  const std::wstring pipe = L"\\\\.\\pipe\\tavro.test.updater.silent." + std::to_wstring(GetCurrentProcessId());
  std::atomic<bool> asked{false};
  TestPipeServer server(pipe, true, [&](HANDLE h, TestPipeServer::Seen& seen) {
    asked = TestPipeServer::ReadRequest(h, seen);
    TestPipeServer::WaitForClose(h, seen);
  });
  ASSERT_TRUE(server.Ok());
  UpdaterConfig config = Config();
  config.test.servicePipeName = pipe;
  auto updater = std::make_unique<Updater>(std::move(config));
  ASSERT_TRUE(WaitFor(*updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
  updater->Install("1.2.0");
  ASSERT_TRUE(WaitUntil([&] { return asked.load(); }));
  std::this_thread::sleep_for(300ms);
  const auto start = Clock::now();
  updater.reset();
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST_F(UpdaterTest, ASignedInstallerRunsElevatedThroughRunas) {
  const std::string program = ReadFileBytes(SiblingExe(L"fake_installer.exe"));
  ASSERT_TRUE(UpdateSite::WriteFile(Path("unsigned.exe"), program));
  ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("running.exe"), "signer"));
  ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("signed.exe"), "signer"));
  const std::string installer = ReadFileBytes(UpdateSite::FilePath(Path("signed.exe")));
  Publish("stable", "1.2.0", installer);
  UpdaterConfig config = Config();
  config.test.runningProgramPath = UpdateSite::FilePath(Path("running.exe"));
  Updater updater(std::move(config));
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
  updater.Install("1.2.0");
  ASSERT_TRUE(WaitUntil([&] { return quits_.load() == 1; }, 30s)) << updater.GetState().error;
  const std::wstring report = InstallerPath("1.2.0") + L".ran";
  ASSERT_TRUE(WaitUntil([&] { return FileExists(report); }, 20s));
  std::string ran;
  ASSERT_TRUE(WaitUntil([&] { return (ran = ReadFileBytes(report)).find("elevated=") != std::string::npos; }));
  EXPECT_NE(ran.find("/SILENT /SUPPRESSMSGBOXES /NORESTART /RESTARTTAVRO=1"), std::string::npos) << ran;
  EXPECT_NE(ran.find("elevated=1"), std::string::npos) << ran;
}

TEST_F(UpdaterTest, AnInstallerFromAnotherSignerIsRejectedAndDeleted) {
  const std::string program = ReadFileBytes(SiblingExe(L"fake_installer.exe"));
  ASSERT_TRUE(UpdateSite::WriteFile(Path("unsigned.exe"), program));
  ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("running.exe"), "signer"));
  ASSERT_TRUE(UpdateSite::SignProgram(Path("unsigned.exe"), Path("other.exe"), "other-signer"));
  Publish("stable", "1.2.0", ReadFileBytes(UpdateSite::FilePath(Path("other.exe"))));
  UpdaterConfig config = Config();
  config.test.runningProgramPath = UpdateSite::FilePath(Path("running.exe"));
  bool started = false;
  config.test.shellExecute = [&](const std::wstring&, const std::wstring&) -> uint32_t {
    started = true;
    return 0;
  };
  Updater updater(std::move(config));
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
  updater.Install("1.2.0");
  ASSERT_TRUE(WaitFor(updater, [](const auto& s) { return s.phase == Updater::kFailed; }));
  EXPECT_EQ(updater.GetState().error,
            "The update failed: The update was rejected: the update is signed by 'Other Signer', not 'tavro Test "
            "Signer'.");
  EXPECT_FALSE(started);
  EXPECT_FALSE(FileExists(InstallerPath("1.2.0")));
}

TEST_F(UpdaterTest, DestroyingItDuringASlowDownloadCancelsIt) {
  Publish("stable", "1.2.0", std::string(1000, 'd'), "", "trickle/5000/");
  bool started = false;
  UpdaterConfig config = Config();
  config.test.shellExecute = [&](const std::wstring&, const std::wstring&) -> uint32_t {
    started = true;
    return 0;
  };
  auto updater = std::make_unique<Updater>(std::move(config));
  ASSERT_TRUE(WaitFor(*updater, [](const auto& s) { return s.phase == Updater::kAvailable; }));
  updater->Install("1.2.0");
  ASSERT_TRUE(WaitFor(*updater, [](const auto& s) { return s.downloading; }));
  std::this_thread::sleep_for(1500ms);
  const auto start = Clock::now();
  updater.reset();
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 6.0);
  EXPECT_NE(Log().find("Update failed: The update couldn't be downloaded (installer: cancelled)."), std::string::npos)
      << Log();
  EXPECT_FALSE(started);
}

TEST_F(UpdaterTest, DestroyingItDuringASlowManifestFetch) {
  Publish("stable", "1.2.0", "installer");
  struct Case {
    const char* segments;
    double limit;
  };
  for (const Case c : {Case{"/trickle/5000", 6.0}, Case{"/silent", 21.0}}) {
    auto updater = std::make_unique<Updater>(Config(c.segments));
    ASSERT_TRUE(WaitUntil([&] { return UpdateSite::Count(ManifestPath(c.segments)) >= 1; })) << c.segments;
    std::this_thread::sleep_for(1000ms);
    const auto start = Clock::now();
    updater.reset();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), c.limit) << c.segments;
  }
}

TEST_F(UpdaterTest, TheProbeRunsOneUpdaterFromOutside) {
  Publish("stable", "1.2.0", "installer");
  TempDir probeProfile;
  const auto result = RunProcess(L"\"" + SiblingExe(L"update_probe.exe") + L"\" --profile \"" + probeProfile.Path() +
                                     L"\" --update-url " + Utf8ToWide(Base()) + L" --update-key " +
                                     Utf8ToWide(UpdateSite::KeyFile("update.pub.txt")),
                                 60000);
  EXPECT_EQ(result.exitCode, 0u) << result.out << result.err;
  EXPECT_NE(result.out.find(R"("phase":"available")"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(R"("version":"1.2.0")"), std::string::npos) << result.out;
  EXPECT_NE(ReadFileBytes(probeProfile.File(L"host.log")).find("Update available: tavro 1.2.0"), std::string::npos);
}

}  // namespace
}  // namespace kelm::test
