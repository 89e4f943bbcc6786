// The real tavro.exe with the WebView2 double beside it, in a folder of its own: what the
// page is sent and when, and what each of the page's commands does, seen from outside
// (the double's lines, the log, the profile's files and a device test client).
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <set>
#include <thread>

#include "app/app_texts.h"
#include "app/single_instance.h"
#include "app/page_state.h"
#include "app/qr_code.h"
#include "app/ui_posts.h"
#include "core/paths.h"
#include "core/settings.h"
#include "core/text.h"
#include "gui_probe.h"
#include "hmac_sha1_reference.h"
#include "pairing_device.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"
#include "support/wait_until.h"
#include "webview2_double_driver.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

[[maybe_unused]] std::vector<uint8_t> Base32Decode(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    const char* at = std::strchr(alphabet, c);
    if (at == nullptr || c == 0) continue;
    bits = (bits << 5) | static_cast<uint32_t>(at - alphabet);
    count += 5;
    if (count >= 8) {
      out.push_back(static_cast<uint8_t>(bits >> (count - 8)));
      count -= 8;
    }
  }
  return out;
}

[[maybe_unused]] uint64_t StepNow() { return static_cast<uint64_t>(std::time(nullptr)) / 30; }

[[maybe_unused]] std::set<std::string> Keys(const json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

class PageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app = dir.File(L"app");
    CreateDirectoryW(app.c_str(), nullptr);
    // Never into bin/: every manual run there would load the double.
    ASSERT_TRUE(CopyFileW(test::SiblingExe(L"tavro.exe").c_str(), (app + L"\\tavro.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(Utf8ToWide(TAVRO_WEBVIEW2_DOUBLE_DIR "\\WebView2Loader.dll").c_str(),
                          (app + L"\\WebView2Loader.dll").c_str(), FALSE));
    NewDriver();
  }
  // A started program links to one driver; the next start gets a new one.
  void NewDriver() {
    driver = std::make_unique<testing::WebView2DoubleDriver>();
    SetEnvironmentVariableA("TAVRO_WEBVIEW2_DOUBLE_PORT", driver->PortText().c_str());
  }
  void TearDown() override {
    if (running) Quit();
  }

  std::wstring Profile() const { return dir.File(L"profile"); }
  std::wstring CommandLine(const std::wstring& extra, bool withPort) const {
    std::wstring line = L"\"" + app + L"\\tavro.exe\" --profile \"" + Profile() + L"\"";
    if (withPort) line += L" --port " + std::to_wstring(port) + L" --no-adb --no-driver --no-discovery";
    return line + extra;
  }
  // Starts tavro.exe and waits until the double has loaded the page.
  json Start(const std::wstring& extra = L"", bool withPort = true) {
    EXPECT_TRUE(host.Start(CommandLine(extra, withPort), dir.File(L"host-out.txt")));
    running = true;
    return driver->WaitFor([](const json& l) { return l.contains("nav"); }, 40s);
  }
  void Quit() {
    running = false;
    const auto windows = test::FindTopWindows(kMainWindowClass, L"tavro", host.Id());
    if (!windows.empty()) PostMessageW(windows.front().hwnd, kMsgQuitForUpdate, 0, 0);
    uint32_t code = 0xFFFF;
    EXPECT_TRUE(host.Wait(20000, code)) << Log();
  }
  void Send(const json& message) { driver->Write({{"msg", message}}); }
  // "ready", and the "init" that answers it.
  json Ready() {
    Send({{"cmd", "ready"}});
    return driver->WaitPost("init");
  }
  json SetSetting(const std::string& key, const json& value) {
    Send({{"cmd", "setSetting"}, {"key", key}, {"value", value}});
    return driver->WaitPost("settings");
  }
  // Nothing posted from `from` on, once the double has handled what came before.
  std::vector<json> PostsSince(size_t from) {
    driver->Settle();
    return driver->SeenSince(from, testing::WebView2DoubleDriver::IsPost);
  }
  json NextStatus(const std::function<bool(const json&)>& match, std::chrono::milliseconds limit = 20s) {
    return driver
        ->WaitFor([&](const json& l) { return l.contains("post") && l["post"].value("type", "") == "status" && match(l["post"]); },
                 limit)
        .value("post", json());
  }
  std::string Log() const { return test::ReadFileBytes(Profile() + L"\\host.log"); }
  bool WaitLog(const std::string& text) const {
    return test::WaitUntil([&] { return Log().find(text) != std::string::npos; }, 20s);
  }
  json StoredDevices() const {
    return json::parse(test::ReadFileBytes(Profile() + L"\\devices.json"), nullptr, false).value("devices", json::array());
  }
  json StoredSettings() const { return json::parse(test::ReadFileBytes(Profile() + L"\\settings.json"), nullptr, false); }

  test::TempDir dir;
  std::wstring app;
  uint16_t port = test::FreeLoopbackPort();
  std::unique_ptr<testing::WebView2DoubleDriver> driver;
  test::ChildProcess host;
  bool running = false;
};

#ifndef TAVRO_PAGE_DEFAULT_PORT

TEST_F(PageTest, InitAndStatusOnlyAfterReadyAndOnlyWhenChanged) {
  const json nav = Start();
  // RCDATA 101, its first placeholder filled in.
  std::string page = test::ReadFileBytes(Utf8ToWide(TAVRO_PAGE_SOURCE));
  page.replace(page.find("{{BACKDROP}}"), 12, "solid");
  EXPECT_EQ(nav["nav"], page);
  // A timer tick passes with the page not ready: nothing is posted.
  Sleep(3500);
  EXPECT_TRUE(PostsSince(0).empty());

  size_t from = driver->Seen().size();
  const json init = Ready();
  EXPECT_EQ(Keys(init), (std::set<std::string>{"logDir", "overrides", "settings", "settingsFile", "type", "version"}));
  EXPECT_EQ(init["version"], "1.0.0");
  EXPECT_EQ(init["overrides"], "Some settings are overridden by command-line options for this run.");
  EXPECT_EQ(init["logDir"], WideToUtf8(Profile()));
  EXPECT_EQ(init["settingsFile"], WideToUtf8(Profile() + L"\\settings.json"));
  EXPECT_EQ(init["settings"]["notificationAccess"], "unavailable");
  const json status = driver->WaitPost("status");
  EXPECT_EQ(status["port"], port);
  EXPECT_EQ(status["running"], true);
  EXPECT_EQ(status["identity"].get<std::string>().size(), 16u);
  EXPECT_FALSE(driver->WaitPost("update").is_null()) << "the updater's state follows";
  const auto posts = PostsSince(from);
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_EQ(posts[0]["post"]["type"], "init") << "init comes first";
  EXPECT_EQ(posts[1]["post"]["type"], "status");

  // Two timer ticks with nothing changed: no second status.
  from = driver->Seen().size();
  Sleep(7000);
  EXPECT_TRUE(PostsSince(from).empty());
  // The page loaded again: both again.
  from = driver->Seen().size();
  Ready();
  EXPECT_EQ(driver->WaitPost("status"), status);
}

TEST_F(PageTest, PageCommandsSeenFromOutside) {
  Start();
  Ready();
  const json first = driver->WaitPost("status");
  const std::string pin = first["pin"];

  // A new PIN, never the same one.
  Send({{"cmd", "newPin"}});
  const json renewed = NextStatus([&](const json& s) { return s["pin"] != pin; });
  ASSERT_FALSE(renewed.is_null());
  EXPECT_TRUE(WaitLog("New pairing PIN generated"));

  // A device connects; "disconnect" drops it.
  test::DeviceIdentity identity;
  test::PairingDevice device;
  ASSERT_TRUE(device.Connect(port, identity, renewed["pin"].get<std::string>())) << device.outcome.errorText;
  const json connected = NextStatus([](const json& s) { return s["sessions"].size() == 1; });
  ASSERT_FALSE(connected.is_null());
  EXPECT_EQ(connected["pairedDevices"].size(), 1u);
  EXPECT_EQ(connected["pairedDevices"][0]["connected"], true);
  Send({{"cmd", "disconnect"}, {"id", connected["sessions"][0]["id"]}});
  EXPECT_TRUE(WaitLog("disconnect requested"));
  EXPECT_TRUE(device.Dropped());
  ASSERT_FALSE(NextStatus([](const json& s) { return s["sessions"].empty(); }).is_null());

  // "removeDevice": gone from devices.json, and its session ends.
  test::PairingDevice again;
  ASSERT_TRUE(again.Connect(port, identity, std::nullopt)) << again.outcome.errorText;
  const json back = NextStatus([](const json& s) { return s["sessions"].size() == 1; });
  const std::string id = back["pairedDevices"][0]["id"];
  EXPECT_EQ(StoredDevices().size(), 1u);
  Send({{"cmd", "removeDevice"}, {"id", id}});
  EXPECT_TRUE(again.Dropped());
  ASSERT_FALSE(NextStatus([](const json& s) { return s["pairedDevices"].empty() && s["sessions"].empty(); }).is_null());
  EXPECT_TRUE(StoredDevices().empty()) << StoredDevices().dump();

  // An unknown command: nothing posted or logged.
  const size_t from = driver->Seen().size();
  const size_t logSize = Log().size();
  Send({{"cmd", "fly"}});
  EXPECT_TRUE(PostsSince(from).empty());
  EXPECT_EQ(Log().size(), logSize) << Log().substr(logSize);
}

TEST_F(PageTest, SettingRowsChangeSaveAndAnswer) {
  Start();
  Ready();
  const json pinned = driver->WaitPost("status");

  struct BitrateRow {
    json value;
    uint32_t expected;
  };
  for (const BitrateRow& row : {BitrateRow{1, 2}, BitrateRow{500, 200}, BitrateRow{12.9, 12}, BitrateRow{-1, 200},
                                BitrateRow{4294967296LL, 200}, BitrateRow{1e20, 200}, BitrateRow{30, 30}}) {
    SCOPED_TRACE(row.value.dump());
    EXPECT_EQ(SetSetting("bitrateMbps", row.value)["settings"]["bitrateMbps"], row.expected);
    EXPECT_EQ(StoredSettings()["bitrateMbps"], row.expected);
  }
  struct Refused {
    json value;
    const char* type;
  };
  for (const Refused& row : {Refused{true, "boolean"}, Refused{"x", "string"}, Refused{nullptr, "null"}}) {
    SCOPED_TRACE(row.type);
    const size_t from = driver->Seen().size();
    Send({{"cmd", "setSetting"}, {"key", "bitrateMbps"}, {"value", row.value}});
    EXPECT_TRUE(PostsSince(from).empty());
    EXPECT_TRUE(WaitLog(std::string("type must be number, but is ") + row.type)) << Log();
    EXPECT_EQ(StoredSettings()["bitrateMbps"], 30);
  }
  EXPECT_NE(Log().find("WARN  UI message '{\"cmd\":\"setSetting\",\"key\":\"bitrateMbps\",\"value\":true}': "),
            std::string::npos)
      << Log();

  // The authenticator method needs a stored secret: dropped without a trace.
  size_t from = driver->Seen().size();
  const std::string before = test::ReadFileBytes(Profile() + L"\\settings.json");
  Send({{"cmd", "setSetting"}, {"key", "pairingMethod"}, {"value", "authenticator"}});
  EXPECT_TRUE(PostsSince(from).empty());
  EXPECT_EQ(test::ReadFileBytes(Profile() + L"\\settings.json"), before);
  // Without a secret "codeEveryTime" stays off, and the page is told so.
  EXPECT_EQ(SetSetting("codeEveryTime", true)["settings"]["codeEveryTime"], false);

  EXPECT_EQ(SetSetting("keepAwake", true)["settings"]["keepAwake"], true);
  EXPECT_EQ(StoredSettings()["keepAwake"], true);
  EXPECT_EQ(SetSetting("forwardNotifications", true)["settings"]["notificationAccess"], "unavailable");
  // Turning forwarding on asks for access; the answer is told to the page too.
  EXPECT_EQ(driver->WaitPost("settings")["settings"]["notificationAccess"], "unavailable");
  EXPECT_EQ(SetSetting("connectEnabled", true)["settings"]["connectEnabled"], true);
  EXPECT_TRUE(WaitLog("tavro Connect turned on"));
  EXPECT_EQ(SetSetting("connectServer", "https://relay.example")["settings"]["connectServer"], "https://relay.example");
  EXPECT_EQ(StoredSettings()["connectServer"], "https://relay.example");
  EXPECT_EQ(SetSetting("connectServer", "https://bad host")["settings"]["connectServer"], "https://relay.example");
  EXPECT_EQ(StoredSettings()["connectServer"], "https://relay.example");
  EXPECT_EQ(SetSetting("connectEnabled", false)["settings"]["connectEnabled"], false);

  // A host restart without a device: "disconnected" false.
  json answer = SetSetting("useAdb", false);
  EXPECT_EQ(answer["disconnected"], false);
  EXPECT_EQ(answer["settings"]["useAdb"], false);
  EXPECT_TRUE(WaitLog("Restarting the host to apply settings"));

  // With a device connected the restart drops it and says so.
  test::DeviceIdentity identity;
  test::PairingDevice device;
  ASSERT_TRUE(device.Connect(port, identity, pinned["pin"].get<std::string>())) << device.outcome.errorText;
  ASSERT_FALSE(NextStatus([](const json& s) { return s["sessions"].size() == 1; }).is_null());
  answer = SetSetting("allowWifi", false);
  EXPECT_EQ(answer["disconnected"], true);
  EXPECT_EQ(answer["settings"]["allowWifi"], false);
  EXPECT_TRUE(device.Dropped());

  // "off": PIN pairing is refused.
  EXPECT_EQ(SetSetting("pairingMethod", "off")["settings"]["pairingMethod"], "off");
  EXPECT_EQ(SetSetting("allowWifi", true)["settings"]["allowWifi"], true);
  test::DeviceIdentity stranger;
  test::PairingDevice refused;
  EXPECT_FALSE(refused.Connect(port, stranger, pinned["pin"].get<std::string>()));
  EXPECT_EQ(refused.outcome.errorText, "Pairing new devices is turned off on this PC.");
  EXPECT_EQ(SetSetting("pairingMethod", "pin")["settings"]["pairingMethod"], "pin");

  // "fixedPin" keeps the PIN in use across a restart.
  EXPECT_EQ(SetSetting("fixedPin", true)["settings"]["fixedPin"], true);
  Send({{"cmd", "newPin"}});
  const json fixed = NextStatus([&](const json& s) { return s["pin"] != pinned["pin"]; });
  Quit();
  NewDriver();
  Start();
  Ready();
  EXPECT_EQ(driver->WaitPost("status")["pin"], fixed["pin"]);
  driver->WaitPost("update");

  // An unknown key does nothing.
  from = driver->Seen().size();
  const std::string stored = test::ReadFileBytes(Profile() + L"\\settings.json");
  Send({{"cmd", "setSetting"}, {"key", "colour"}, {"value", "blue"}});
  EXPECT_TRUE(PostsSince(from).empty());
  EXPECT_EQ(test::ReadFileBytes(Profile() + L"\\settings.json"), stored);
}

TEST_F(PageTest, AuthenticatorEnrolmentPairingAndRemoval) {
  Start();
  Ready();
  const json status = driver->WaitPost("status");

  // A wrong code, and a confirm after cancel, are refused.
  Send({{"cmd", "authenticatorSetup"}});
  json setup = driver->WaitPost("authenticatorSetup");
  Send({{"cmd", "authenticatorConfirm"}, {"code", "000000"}});
  const std::vector<uint8_t> cancelled = Base32Decode(setup["secret"]);
  Send({{"cmd", "authenticatorCancel"}});
  Send({{"cmd", "authenticatorConfirm"}, {"code", test::ReferenceTotp6(cancelled, StepNow())}});
  EXPECT_EQ(driver->WaitPost("authenticatorResult")["ok"], false);
  EXPECT_EQ(driver->WaitPost("authenticatorResult")["ok"], false);

  Send({{"cmd", "authenticatorSetup"}});
  setup = driver->WaitPost("authenticatorSetup");
  const std::string secretText = setup["secret"];
  EXPECT_EQ(secretText.size(), 32u);
  const std::vector<uint8_t> secret = Base32Decode(secretText);
  ASSERT_EQ(secret.size(), 20u);
  const std::string uri = "otpauth://totp/tavro%3A" + status["pcName"].get<std::string>() + "?secret=" + secretText +
                          "&issuer=tavro&algorithm=SHA1&digits=6&period=30";
  EXPECT_EQ(setup["qr"], QrSvg(uri)) << "the code shows the enrolment address";

  // A wrong code keeps the enrolment; the right one completes it.
  Send({{"cmd", "authenticatorConfirm"}, {"code", "12345"}});
  EXPECT_EQ(driver->WaitPost("authenticatorResult")["ok"], false);
  Send({{"cmd", "authenticatorConfirm"}, {"code", test::ReferenceTotp6(secret, StepNow())}});
  EXPECT_EQ(driver->WaitPost("authenticatorResult")["ok"], true);
  const json settings = driver->WaitPost("settings")["settings"];
  EXPECT_EQ(settings["authenticatorSet"], true);
  EXPECT_EQ(settings["pairingMethod"], "authenticator");
  EXPECT_FALSE(StoredSettings().value("authenticatorProtected", "").empty());
  EXPECT_TRUE(WaitLog("Authenticator app set up for pairing"));

  // A device pairs with a code of that secret; PIN pairing is refused.
  test::DeviceIdentity pinDevice;
  test::PairingDevice byPin;
  EXPECT_FALSE(byPin.Connect(port, pinDevice, status["pin"].get<std::string>()));
  EXPECT_EQ(byPin.outcome.errorText, "This PC pairs new devices with an authenticator app code, not a PIN.");
  test::DeviceIdentity identity;
  test::PairingDevice device;
  const uint64_t step = StepNow();
  EXPECT_TRUE(device.Connect(port, identity, test::PairingCode{1, step, test::ReferenceTotp6(secret, step)}))
      << device.outcome.errorText;

  // Removal: PIN pairing again, code-every-time off, saved.
  Send({{"cmd", "authenticatorRemove"}});
  const json removed = driver->WaitPost("settings")["settings"];
  EXPECT_EQ(removed["authenticatorSet"], false);
  EXPECT_EQ(removed["pairingMethod"], "pin");
  EXPECT_EQ(removed["codeEveryTime"], false);
  EXPECT_TRUE(WaitLog("Authenticator app removed"));
  EXPECT_EQ(StoredSettings()["pairingMethod"], 0);
}

TEST_F(PageTest, AnEnrolmentThatCannotBeSavedIsRefused) {
  Start();
  Ready();
  driver->WaitPost("status");
  // A folder where the settings file's temporary copy goes: every save fails.
  ASSERT_TRUE(CreateDirectoryW((Profile() + L"\\settings.json.tmp").c_str(), nullptr));
  Send({{"cmd", "authenticatorSetup"}});
  const std::vector<uint8_t> secret = Base32Decode(driver->WaitPost("authenticatorSetup")["secret"]);
  for (int attempt = 1; attempt <= 2; ++attempt) {
    // The second try shows the pending secret was kept: without one a code fails at once.
    const size_t from = driver->Seen().size();
    Send({{"cmd", "authenticatorConfirm"}, {"code", test::ReferenceTotp6(secret, StepNow())}});
    EXPECT_EQ(driver->WaitPost("authenticatorResult")["ok"], false);
    EXPECT_EQ(PostsSince(from).size(), 1u) << "no settings message";
    EXPECT_TRUE(test::WaitUntil([&] { return test::LogLines(Log(), "WARN", "Could not save the settings") == size_t(attempt); }, 10s))
        << Log();
  }
  Quit();
  NewDriver();
  RemoveDirectoryW((Profile() + L"\\settings.json.tmp").c_str());
  Start();
  const json init = Ready();
  EXPECT_EQ(init["settings"]["pairingMethod"], "pin");
  EXPECT_EQ(init["settings"]["authenticatorSet"], false);
}

TEST_F(PageTest, FilesWaitingForADeviceLeaveTheLastStatusIdle) {
  Start();
  Ready();
  const json first = driver->WaitPost("status");
  // A second start hands its files over while no device is connected.
  const std::wstring file = dir.File(L"pending.txt");
  ASSERT_TRUE(test::WriteFileBytes(file, std::string(300000, 'p')));
  test::ChildProcess second;
  ASSERT_TRUE(second.Start(CommandLine(L" --send \"" + file + L"\" \"" + file + L"\"", true), dir.File(L"second.txt")));
  uint32_t code = 0xFFFF;
  ASSERT_TRUE(second.Wait(20000, code));
  EXPECT_EQ(code, 0u);

  test::DeviceIdentity identity;
  test::PairingDevice device;
  ASSERT_TRUE(device.Connect(port, identity, first["pin"].get<std::string>())) << device.outcome.errorText;
  for (int i = 0; i < 2; ++i) {
    const std::optional<test::FileFromPc> got = test::ReceiveFileOnDevice(*device.client);
    ASSERT_TRUE(got) << i;
    EXPECT_EQ(got->data.size(), 300000u);
  }
  EXPECT_TRUE(WaitLog("Sending 2 file(s) to Test tablet")) << Log();
  // Once the queue has drained, the page's last status shows the session idle, as the
  // host has it: no transfer line left behind.
  ASSERT_TRUE(device.Ping());
  json last;
  EXPECT_TRUE(test::WaitUntil([&] {
    driver->Settle();
    for (const json& l : driver->Seen())
      if (l.contains("post") && l["post"].value("type", "") == "status") last = l["post"];
    return last["sessions"].size() == 1 && last["sessions"][0]["transfer"] == "";
  }, 20s)) << last.dump();
  // Nothing newer follows on the next ticks: that was the host's state.
  const size_t from = driver->Seen().size();
  ASSERT_TRUE(device.Ping());
  Sleep(3500);
  ASSERT_TRUE(device.Ping());
  for (const json& l : PostsSince(from)) {
    if (l["post"].value("type", "") != "status") continue;
    const json& sessions = l["post"]["sessions"];
    EXPECT_TRUE(sessions.size() == 1 && sessions[0]["transfer"] == "") << l.dump();
  }
}

// Wine's Explorer windows titled with `folder`'s last part.
std::vector<test::WindowInfo> FolderWindows(const std::wstring& folder) {
  return test::FindTopWindows(L"ExplorerWClass", folder.substr(folder.find_last_of(L'\\') + 1), 0, true);
}

void CloseWindows(const std::vector<test::WindowInfo>& windows) {
  for (const test::WindowInfo& w : windows) PostMessageW(w.hwnd, WM_CLOSE, 0, 0);
}

TEST_F(PageTest, FoldersThePickerAndStartWithWindows) {
  Start();
  Ready();
  driver->WaitPost("status");

  // The log folder (the profile) and Downloads\tavro open in Explorer windows.
  Send({{"cmd", "openLogFolder"}});
  ASSERT_TRUE(test::WaitUntil([&] { return !FolderWindows(Profile()).empty(); }, 20s));
  CloseWindows(FolderWindows(Profile()));
  Send({{"cmd", "openDownloads"}});
  ASSERT_TRUE(test::WaitUntil([&] { return !FolderWindows(L"Downloads\\tavro").empty(); }, 20s));
  CloseWindows(FolderWindows(L"Downloads\\tavro"));

  // "sendFiles" opens the picker; cancelled, nothing is sent.
  Send({{"cmd", "sendFiles"}, {"id", 0}});
  HWND picker = test::WaitForWindow(L"", L"Send files to your device", host.Id(), 20000);
  ASSERT_NE(picker, nullptr);
  ASSERT_TRUE(test::PressButton(picker, L"Cancel"));
  ASSERT_TRUE(test::WaitUntil([&] { return !IsWindow(picker); }, 5s));

  // "startWithWindows" writes the Run value and nothing in settings.json.
  const bool before = IsAutostartEnabled();
  const std::string stored = test::ReadFileBytes(Profile() + L"\\settings.json");
  EXPECT_EQ(SetSetting("startWithWindows", !before)["settings"]["startWithWindows"], !before);
  EXPECT_EQ(IsAutostartEnabled(), !before);
  EXPECT_EQ(SetSetting("startWithWindows", before)["settings"]["startWithWindows"], before);
  EXPECT_EQ(IsAutostartEnabled(), before);
  EXPECT_EQ(test::ReadFileBytes(Profile() + L"\\settings.json"), stored);
}

// The file the recording xdg-open writes, by its drive Z: name.
std::wstring OpenedRecord() {
  std::wstring record = L"Z:" TAVRO_FAKE_OPEN_DIR "/opened.txt";
  std::replace(record.begin(), record.end(), L'/', L'\\');
  return record;
}

// What Wine's winebrowser handed to the recording xdg-open, one argument a line.
std::set<std::string> OpenedLinks() {
  std::set<std::string> lines;
  const std::string text = test::ReadFileBytes(OpenedRecord());
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
    lines.insert(text.substr(at, end - at));
  return lines;
}

TEST_F(PageTest, OpenUrlLeavesForTheBrowserOnlyOverHttpsOrHttp) {
  DeleteFileW(OpenedRecord().c_str());
  Start();
  Ready();
  driver->WaitPost("status");
  // Refused first, so anything they wrongly started would be recorded before the two
  // allowed links are.
  for (const char* refused : {"HTTPS://example.com/upper", "file:///C:/windows/win.ini", "javascript:alert(1)",
                              "https://example.com/a b", "https://example.com/\"quoted", "ftp://example.com/f",
                              "ms-settings-x:y", ""})
    Send({{"cmd", "openUrl"}, {"url", refused}});
  Send({{"cmd", "openUrl"}, {"url", 7}});
  Send({{"cmd", "openUrl"}});
  Send({{"cmd", "openUrl"}, {"url", "https://example.com/help?a=1&b=2"}});
  Send({{"cmd", "openUrl"}, {"url", "http://example.com/plain"}});
  const std::set<std::string> allowed = {"https://example.com/help?a=1&b=2", "http://example.com/plain"};
  EXPECT_TRUE(test::WaitUntil([&] { return OpenedLinks().size() >= allowed.size(); }, 30s));
  Sleep(2000);
  EXPECT_EQ(OpenedLinks(), allowed);
}

// Wine's notification area sits at the top left, under the main window.
constexpr int kTrayIconX = 12, kTrayIconY = 38;

TEST_F(PageTest, TrayStartWithWindowsRowAnswersThePage) {
  Start();
  Ready();
  driver->WaitPost("status");
  ASSERT_NE(test::WaitForWindow(L"Shell_TrayWnd", L"", 0, 10000), nullptr);
  const auto windows = test::FindTopWindows(kMainWindowClass, L"tavro", host.Id());
  ASSERT_FALSE(windows.empty());
  ShowWindow(windows.front().hwnd, SW_HIDE);  // off the tray icon
  const std::string stored = test::ReadFileBytes(Profile() + L"\\settings.json");
  const bool before = IsAutostartEnabled();
  // The row above "Quit", twice: on, then back.
  for (const bool expected : {!before, before}) {
    test::ClickAt(kTrayIconX, kTrayIconY, true);
    ASSERT_TRUE(test::WaitUntil([] { return !test::FindTopWindows(L"#32768", L"", 0, true).empty(); }, 5s));
    test::SendKeys({VK_UP, VK_UP, VK_RETURN});
    EXPECT_EQ(driver->WaitPost("settings")["settings"]["startWithWindows"], expected);
    EXPECT_EQ(IsAutostartEnabled(), expected);
  }
  EXPECT_EQ(test::ReadFileBytes(Profile() + L"\\settings.json"), stored);
}

#else

// Without --port the host listens on 27183, and nothing is overridden.
TEST_F(PageTest, OnlyAProfileOverridesNothing) {
  Start(L"", false);
  EXPECT_EQ(Ready()["overrides"], "");
  EXPECT_EQ(driver->WaitPost("status")["port"], 27183);
}

#endif

}  // namespace
}  // namespace kelm
