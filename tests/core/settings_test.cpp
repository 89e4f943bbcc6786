#include "core/settings.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/dpapi.h"
#include "core/encoding.h"
#include "core/log.h"
#include "core/paths.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

// Each test gets a profile folder inside a parent, so the former product's folder
// (a sibling of the data folder) belongs to the test too.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    profile = parent.File(L"tavro");
    SetProfileDir(profile);
    CreateDirectoryW(profile.c_str(), nullptr);
    ASSERT_TRUE(OpenLogFile(parent.File(L"test.log")));
  }
  void TearDown() override {
    CloseLogFile();
    SetProfileDir(L"");
  }
  std::string LogText() {
    CloseLogFile();
    return test::ReadFileBytes(parent.File(L"test.log"));
  }
  void WriteSettings(const std::string& text) {
    ASSERT_TRUE(test::WriteFileBytes(profile + L"\\settings.json", text));
  }
  std::string FileText() { return test::ReadFileBytes(profile + L"\\settings.json"); }

  test::TempDir parent;
  std::wstring profile;
};

void ExpectDefaults(const Settings& s) {
  const Settings d;
  EXPECT_EQ(s.allowWifi, d.allowWifi);
  EXPECT_EQ(s.pin, 0u);
  EXPECT_EQ(s.pairingMethod, PairingMethod::Pin);
  EXPECT_EQ(s.bitrateMbps, 20u);
  EXPECT_EQ(s.connectServer, kDefaultConnectServer);
  EXPECT_EQ(s.updateChannel, "stable");
  EXPECT_TRUE(s.authenticatorSecret.empty());
}

TEST_F(SettingsTest, MissingFileGivesDefaults) {
  ExpectDefaults(LoadSettings());
  EXPECT_EQ(SettingsPath(), profile + L"\\settings.json");
  EXPECT_FALSE(test::FileExists(SettingsPath()));
}

TEST_F(SettingsTest, InvalidFileGivesDefaultsAndWarns) {
  for (const char* text : {"[1, 2]", "{ not json", ""}) {
    WriteSettings(text);
    ExpectDefaults(LoadSettings());
  }
  const std::string log = LogText();
  EXPECT_NE(log.find("WARN  settings.json is invalid, using defaults"), std::string::npos) << log;
}

TEST_F(SettingsTest, ClampsAndFallbacks) {
  struct Case {
    Json doc;
    uint32_t bitrate;
    PairingMethod method;
    std::string channel;
  };
  const std::vector<Case> cases = {
      {{{"bitrateMbps", 0}}, 2, PairingMethod::Pin, "stable"},
      {{{"bitrateMbps", 1000}}, 200, PairingMethod::Pin, "stable"},
      {{{"bitrateMbps", 55}}, 55, PairingMethod::Pin, "stable"},
      {{{"pairingMethod", 7}}, 20, PairingMethod::Off, "stable"},
      {{{"pairingMethod", 1}, {"codeEveryTime", true}}, 20, PairingMethod::Pin, "stable"},
      {{{"updateChannel", "nightly"}}, 20, PairingMethod::Pin, "stable"},
      {{{"updateChannel", "beta"}}, 20, PairingMethod::Pin, "beta"},
  };
  for (const Case& c : cases) {
    WriteSettings(c.doc.dump());
    const Settings s = LoadSettings();
    EXPECT_EQ(s.bitrateMbps, c.bitrate) << c.doc.dump();
    EXPECT_EQ(s.pairingMethod, c.method) << c.doc.dump();
    EXPECT_EQ(s.updateChannel, c.channel) << c.doc.dump();
    EXPECT_FALSE(s.codeEveryTime);
  }
}

TEST_F(SettingsTest, WrongTypeStopsReadingAtThatKey) {
  WriteSettings(R"({"allowWifi": "yes", "bitrateMbps": 50})");
  ExpectDefaults(LoadSettings());
  WriteSettings(R"({"allowWifi": false, "keepAwake": 3, "bitrateMbps": 50})");
  const Settings s = LoadSettings();
  EXPECT_FALSE(s.allowWifi);
  EXPECT_EQ(s.bitrateMbps, 20u);
  EXPECT_NE(LogText().find("WARN  settings.json: [json.exception.type_error"), std::string::npos);
}

TEST_F(SettingsTest, RoundTripsEveryFieldWithSecretsProtected) {
  Settings s;
  s.allowWifi = false;
  s.fixedPin = true;
  s.pin = 246810;
  s.pairingMethod = PairingMethod::Authenticator;
  s.authenticatorSecret = {0xde, 0xad, 0xbe, 0xef, 0x01};
  s.codeEveryTime = true;
  s.bitrateMbps = 77;
  s.useAdb = false;
  s.keepAwake = false;
  s.forwardNotifications = false;
  s.connectEnabled = true;
  s.connectServer = "https://relay.example/\xc3\xa9";
  s.trayHintShown = true;
  s.updateChannel = "beta";
  s.lastRunVersion = "1.2.3";
  s.updateNotifiedVersion = "1.3.0";
  ASSERT_TRUE(SaveSettings(s));

  const std::string text = FileText();
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find("{\n  \"allowWifi\": false,\n  \"authenticatorProtected\": \""), 0u) << text;
  EXPECT_EQ(text.find("246810"), std::string::npos);
  EXPECT_NE(text.find("relay.example/\xc3\xa9"), std::string::npos);
  const Json doc = Json::parse(text);
  EXPECT_FALSE(doc.contains("pin"));
  EXPECT_EQ(doc.size(), 16u);
  std::string previous;
  for (const auto& item : doc.items()) {
    EXPECT_LT(previous, item.key());
    previous = item.key();
  }
  const auto sealed = Base64Decode(doc["authenticatorProtected"].get<std::string>());
  ASSERT_TRUE(sealed);
  EXPECT_EQ(DpapiUnprotect(*sealed), s.authenticatorSecret);

  const Settings r = LoadSettings();
  EXPECT_EQ(r.allowWifi, s.allowWifi);
  EXPECT_EQ(r.fixedPin, s.fixedPin);
  EXPECT_EQ(r.pin, s.pin);
  EXPECT_EQ(r.pairingMethod, s.pairingMethod);
  EXPECT_EQ(r.authenticatorSecret, s.authenticatorSecret);
  EXPECT_EQ(r.codeEveryTime, s.codeEveryTime);
  EXPECT_EQ(r.bitrateMbps, s.bitrateMbps);
  EXPECT_EQ(r.useAdb, s.useAdb);
  EXPECT_EQ(r.keepAwake, s.keepAwake);
  EXPECT_EQ(r.forwardNotifications, s.forwardNotifications);
  EXPECT_EQ(r.connectEnabled, s.connectEnabled);
  EXPECT_EQ(r.connectServer, s.connectServer);
  EXPECT_EQ(r.trayHintShown, s.trayHintShown);
  EXPECT_EQ(r.updateChannel, s.updateChannel);
  EXPECT_EQ(r.lastRunVersion, s.lastRunVersion);
  EXPECT_EQ(r.updateNotifiedVersion, s.updateNotifiedVersion);
}

TEST_F(SettingsTest, SecretThatCannotBeProtectedLeavesTheOldFile) {
  Settings s;
  s.fixedPin = true;
  s.pin = 135790;
  s.pairingMethod = PairingMethod::Authenticator;
  s.authenticatorSecret = {1, 2, 3, 4};
  ASSERT_TRUE(SaveSettings(s));
  const std::string before = FileText();
  // With a fixed PIN the PIN is protected first; without, the secret is.
  for (const bool fixedPin : {true, false}) {
    Settings changed = s;
    changed.bitrateMbps = 99;
    changed.fixedPin = fixedPin;
    changed.authenticatorSecret = {5, 6, 7, 8};
    {
      DpapiRefusal refuse;
      EXPECT_FALSE(SaveSettings(changed)) << fixedPin;
    }
    EXPECT_EQ(FileText(), before) << fixedPin;
  }
  const std::string log = LogText();  // closes the log: read once, at the end
  EXPECT_NE(log.find("WARN  Could not save settings: the PIN could not be protected"), std::string::npos);
  EXPECT_NE(log.find("WARN  Could not save settings: the authenticator secret could not be protected"),
            std::string::npos);
  EXPECT_EQ(GetFileAttributesW((profile + L"\\settings.json.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(SettingsTest, PinIsKeptOnlyWhenFixed) {
  Settings s;
  s.pin = 135790;
  ASSERT_TRUE(SaveSettings(s));
  EXPECT_EQ(Json::parse(FileText())["pinProtected"], "");
  EXPECT_EQ(LoadSettings().pin, 0u);
}

TEST_F(SettingsTest, LegacyPinIsProtectedAtOnce) {
  WriteSettings(R"({"fixedPin": true, "pin": 654321})");
  EXPECT_EQ(LoadSettings().pin, 654321u);
  const Json doc = Json::parse(FileText());
  EXPECT_FALSE(doc.contains("pin"));
  EXPECT_NE(doc["pinProtected"], "");
  EXPECT_EQ(FileText().find("654321"), std::string::npos);
  EXPECT_EQ(LoadSettings().pin, 654321u);

  WriteSettings(R"({"fixedPin": true, "pin": 12345})");
  EXPECT_EQ(LoadSettings().pin, 0u);
  EXPECT_FALSE(Json::parse(FileText()).contains("pin"));
}

TEST_F(SettingsTest, UndecryptableSecretsAreDropped) {
  WriteSettings(R"({"pairingMethod": 1, "codeEveryTime": true, "authenticatorProtected": "AAECAwQ=",
                    "pinProtected": "bm90IGRwYXBp"})");
  const Settings s = LoadSettings();
  EXPECT_TRUE(s.authenticatorSecret.empty());
  EXPECT_EQ(s.pairingMethod, PairingMethod::Pin);
  EXPECT_FALSE(s.codeEveryTime);
  EXPECT_EQ(s.pin, 0u);
}

TEST_F(SettingsTest, FormerProductFileIsTakenOverOnce) {
  const std::wstring former = parent.File(L"Morrowvane");
  CreateDirectoryW(former.c_str(), nullptr);
  ASSERT_TRUE(test::WriteFileBytes(former + L"\\settings.json", R"({"bitrateMbps": 42})"));
  EXPECT_EQ(LoadSettings().bitrateMbps, 42u);
  EXPECT_NE(LogText().find("INFO  Took over the settings of Morrowvane"), std::string::npos);

  ASSERT_TRUE(OpenLogFile(parent.File(L"test2.log")));
  ASSERT_TRUE(test::WriteFileBytes(former + L"\\settings.json", R"({"bitrateMbps": 99})"));
  EXPECT_EQ(LoadSettings().bitrateMbps, 42u);
  CloseLogFile();
  EXPECT_EQ(test::ReadFileBytes(parent.File(L"test2.log")).find("Took over"), std::string::npos);
}

TEST(AutostartTest, OnOffAndOffWhenMissing) {
  EXPECT_TRUE(SetAutostart(false));
  EXPECT_FALSE(IsAutostartEnabled());
  EXPECT_TRUE(SetAutostart(false));
  ASSERT_TRUE(SetAutostart(true));
  EXPECT_TRUE(IsAutostartEnabled());
  wchar_t data[1024];
  DWORD size = sizeof data;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"tavro",
                         RRF_RT_REG_SZ, nullptr, data, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(data), AutostartCommand());
  EXPECT_EQ(AutostartCommand(), L"\"" + ExecutablePath() + L"\" --minimized");
  EXPECT_TRUE(SetAutostart(false));
  EXPECT_FALSE(IsAutostartEnabled());
}

}  // namespace
}  // namespace kelm
