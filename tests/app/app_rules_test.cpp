// The tray application's Windows-side rules: the state line, host options, the
// hand-off block as WM_COPYDATA carries it, and the mutex name per profile folder.
#include <gtest/gtest.h>

#include "app/app_texts.h"
#include "app/host_options_builder.h"
#include "app/single_instance.h"
#include "app/tray_status.h"
#include "app/reference_fnv.h"
#include "core/paths.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

HostService::SessionStatus SessionOf(const char* name, bool usb, bool relay = false) {
  HostService::SessionStatus s;
  s.deviceName = name;
  s.usb = usb;
  s.relay = relay;
  return s;
}

TEST(TrayStatusTextTest, EveryState) {
  HostService::Status status;
  EXPECT_EQ(TrayStatusText(status), L"Not running");
  status.lastError = "Cannot listen on TCP port 1 (already in use?)";
  EXPECT_EQ(TrayStatusText(status), L"Not running: Cannot listen on TCP port 1 (already in use?)");
  status.running = true;
  EXPECT_EQ(TrayStatusText(status), L"Ready \u2014 waiting for your tablet");
  status.sessions = {SessionOf("Pad \xC3\xBC", true)};
  EXPECT_EQ(TrayStatusText(status), L"Connected to Pad \u00fc via USB");
  status.sessions = {SessionOf("Pad", false)};
  EXPECT_EQ(TrayStatusText(status), L"Connected to Pad via Wi-Fi");
  status.sessions = {SessionOf("Pad", false, true)};
  EXPECT_EQ(TrayStatusText(status), L"Connected to Pad via Wi-Fi");  // relay sessions too
  status.sessions = {SessionOf("A", true), SessionOf("B", false), SessionOf("C", false)};
  EXPECT_EQ(TrayStatusText(status), L"3 tablets connected");
}

Settings SampleSettings() {
  Settings s;
  s.allowWifi = false;
  s.pairingMethod = PairingMethod::Authenticator;
  s.authenticatorSecret = SecretBytes{1, 2, 3};
  s.codeEveryTime = true;
  s.bitrateMbps = 37;
  s.useAdb = false;
  s.keepAwake = false;
  s.forwardNotifications = false;
  s.connectEnabled = true;
  s.connectServer = "https://relay.example";
  return s;
}

TEST(BuildHostOptionsTest, FieldByFieldFromTheSettings) {
  const HostOptions o = BuildHostOptions(SampleSettings(), 123456, CliOverrides{}, "PC-1");
  const HostOptions defaults;
  EXPECT_EQ(o.port, 27183);
  EXPECT_EQ(o.name, "PC-1");
  EXPECT_EQ(o.pairingMethod, PairingMethod::Authenticator);
  EXPECT_EQ(o.pin, 123456u);
  EXPECT_EQ(o.authenticatorSecret, (SecretBytes{1, 2, 3}));
  EXPECT_TRUE(o.codeEveryTime);
  EXPECT_EQ(o.bitrateKbps, 37000u);
  EXPECT_TRUE(o.usbOnly);
  EXPECT_FALSE(o.useAdb);
  EXPECT_TRUE(o.adbPath.empty());
  EXPECT_TRUE(o.discovery);
  EXPECT_TRUE(o.driver);
  EXPECT_FALSE(o.keepAwake);
  EXPECT_FALSE(o.forwardNotifications);
  EXPECT_TRUE(o.connectEnabled);
  EXPECT_EQ(o.connectServer, "https://relay.example");
  EXPECT_EQ(o.sendTimeoutMs, defaults.sendTimeoutMs);

  Settings plain;
  const HostOptions p = BuildHostOptions(plain, 1, CliOverrides{}, "PC");
  EXPECT_FALSE(p.usbOnly);
  EXPECT_TRUE(p.useAdb);
  EXPECT_FALSE(p.connectEnabled);
  EXPECT_EQ(p.connectServer, kDefaultConnectServer);
}

TEST(BuildHostOptionsTest, EachOverrideInTurn) {
  Settings s;  // Wi-Fi, adb on, relay off
  const HostOptions base = BuildHostOptions(s, 111111, CliOverrides{}, "PC");
  struct Row {
    const char* what;
    void (*set)(CliOverrides&);
    bool (*check)(const HostOptions&);
  } rows[] = {
      {"port", [](CliOverrides& o) { o.port = 4000; }, [](const HostOptions& h) { return h.port == 4000; }},
      {"pin", [](CliOverrides& o) { o.pin = 135790; }, [](const HostOptions& h) { return h.pin == 135790; }},
      {"bitrate", [](CliOverrides& o) { o.bitrateKbps = 777; }, [](const HostOptions& h) { return h.bitrateKbps == 777; }},
      {"usbOnly", [](CliOverrides& o) { o.usbOnly = true; }, [](const HostOptions& h) { return h.usbOnly; }},
      {"noAdb", [](CliOverrides& o) { o.noAdb = true; }, [](const HostOptions& h) { return !h.useAdb; }},
      {"noDiscovery", [](CliOverrides& o) { o.noDiscovery = true; }, [](const HostOptions& h) { return !h.discovery; }},
      {"noDriver", [](CliOverrides& o) { o.noDriver = true; }, [](const HostOptions& h) { return !h.driver; }},
      {"adbPath", [](CliOverrides& o) { o.adbPath = L"C:\\a\\adb.exe"; },
       [](const HostOptions& h) { return h.adbPath == L"C:\\a\\adb.exe"; }},
      {"connectServer", [](CliOverrides& o) { o.connectServer = "https://r.example"; },
       [](const HostOptions& h) { return h.connectEnabled && h.connectServer == "https://r.example"; }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    CliOverrides o;
    r.set(o);
    const HostOptions h = BuildHostOptions(s, 111111, o, "PC");
    EXPECT_TRUE(r.check(h));
    EXPECT_FALSE(r.check(base));
  }
  // All at once: each applies over the settings.
  CliOverrides all;
  for (const Row& r : rows) r.set(all);
  const HostOptions h = BuildHostOptions(s, 111111, all, "PC");
  for (const Row& r : rows) EXPECT_TRUE(r.check(h)) << r.what;
}

TEST(CopyDataTest, OnlyTaggedBlocksGivePaths) {
  std::wstring block(L"C:\\a.txt\0D:\\b c\\\u00e9\0\0", 19);
  COPYDATASTRUCT data{kHandoffTag, static_cast<DWORD>(block.size() * 2), block.data()};
  EXPECT_EQ(ParseCopyDataFiles(&data), (std::vector<std::wstring>{L"C:\\a.txt", L"D:\\b c\\\u00e9"}));
  // An odd size drops the last byte: the last path then lacks its final NUL only.
  COPYDATASTRUCT odd{kHandoffTag, static_cast<DWORD>(block.size() * 2 - 3), block.data()};
  EXPECT_EQ(ParseCopyDataFiles(&odd).size(), 2u);
  std::wstring cut(L"ab", 2);
  COPYDATASTRUCT oddCut{kHandoffTag, 3, cut.data()};
  EXPECT_EQ(ParseCopyDataFiles(&oddCut), (std::vector<std::wstring>{L"a"}));

  EXPECT_TRUE(ParseCopyDataFiles(nullptr).empty());
  COPYDATASTRUCT noData{kHandoffTag, 10, nullptr};
  EXPECT_TRUE(ParseCopyDataFiles(&noData).empty());
  COPYDATASTRUCT wrongTag{0x6F727674, data.cbData, block.data()};
  EXPECT_TRUE(ParseCopyDataFiles(&wrongTag).empty());
  COPYDATASTRUCT upper{(static_cast<ULONG_PTR>(1) << 32) | kHandoffTag, data.cbData, block.data()};
  EXPECT_TRUE(ParseCopyDataFiles(&upper).empty());
}

TEST(SingleInstanceNameTest, RelativeDottedAndFullProfileGiveOneName) {
  test::TempDir temp;
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  ASSERT_TRUE(SetCurrentDirectoryW(temp.Path().c_str()));
  std::vector<std::wstring> names;
  for (const std::wstring& profile : {std::wstring(L"p"), std::wstring(L".\\p\\"), temp.File(L"p")}) {
    SetProfileDir(profile);
    EXPECT_EQ(ProfileDir(), temp.File(L"p")) << "full path, no trailing separator";
    names.push_back(SingleInstanceMutexName(LocalDataDir()));
  }
  SetCurrentDirectoryW(saved);
  EXPECT_EQ(names[0], names[1]);
  EXPECT_EQ(names[0], names[2]);
  const std::wstring full = temp.File(L"p");
  const std::u16string units(full.begin(), full.end());
  EXPECT_EQ(names[0], L"Local\\tavro.SingleInstance." + std::to_wstring(test::ReferenceFnv1a(units)));
}

}  // namespace
}  // namespace kelm
