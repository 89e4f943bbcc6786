// Each "setSetting" key: what it changes in the settings record and which effects follow.
#include "app/page_settings.h"

#include <gtest/gtest.h>

namespace kelm {
namespace {

using nlohmann::json;

// The settings record as JSON text, so that a row can say "nothing changed".
std::string Text(const Settings& s) {
  return json{{"allowWifi", s.allowWifi},        {"fixedPin", s.fixedPin},
              {"pin", s.pin},                    {"method", static_cast<int>(s.pairingMethod)},
              {"secret", s.authenticatorSecret.size()}, {"codeEveryTime", s.codeEveryTime},
              {"bitrate", s.bitrateMbps},        {"useAdb", s.useAdb},
              {"keepAwake", s.keepAwake},        {"notifications", s.forwardNotifications},
              {"connect", s.connectEnabled},     {"server", s.connectServer}}
      .dump();
}

Settings WithSecret() {
  Settings s;
  s.authenticatorSecret = SecretBytes(std::vector<uint8_t>(20, 1));
  return s;
}

TEST(PageSettingsTest, SwitchesChangeTheirFieldAndSayWhatFollows) {
  Settings s;
  PageSettingEffects e = ApplyPageSetting(s, "allowWifi", false, 0);
  EXPECT_FALSE(s.allowWifi);
  EXPECT_TRUE(e.handled && e.save && e.push && e.restartHost);
  e = ApplyPageSetting(s, "useAdb", false, 0);
  EXPECT_FALSE(s.useAdb);
  EXPECT_TRUE(e.restartHost && e.save);
  e = ApplyPageSetting(s, "keepAwake", false, 0);
  EXPECT_FALSE(s.keepAwake);
  EXPECT_TRUE(e.keepAwake && e.save && e.push && !e.restartHost);
  e = ApplyPageSetting(s, "forwardNotifications", false, 0);
  EXPECT_TRUE(e.forwardNotifications && !e.requestNotificationAccess);
  e = ApplyPageSetting(s, "forwardNotifications", true, 0);
  EXPECT_TRUE(s.forwardNotifications && e.requestNotificationAccess);
  e = ApplyPageSetting(s, "connectEnabled", true, 0);
  EXPECT_TRUE(s.connectEnabled && e.connect && e.save);
  EXPECT_EQ(e.info, "tavro Connect turned on");
  EXPECT_EQ(ApplyPageSetting(s, "connectEnabled", false, 0).info, "tavro Connect turned off");
}

TEST(PageSettingsTest, StartWithWindowsIsNotSavedButPushed) {
  Settings s;
  const std::string before = Text(s);
  PageSettingEffects e = ApplyPageSetting(s, "startWithWindows", true, 0);
  EXPECT_EQ(Text(s), before);
  EXPECT_TRUE(e.handled && e.push && !e.save);
  ASSERT_TRUE(e.autostart.has_value());
  EXPECT_TRUE(*e.autostart);
  EXPECT_FALSE(*ApplyPageSetting(s, "startWithWindows", false, 0).autostart);
}

TEST(PageSettingsTest, PairingRowsFollowTheStoredSecret) {
  Settings none;
  const std::string before = Text(none);
  PageSettingEffects e = ApplyPageSetting(none, "pairingMethod", "authenticator", 0);
  EXPECT_FALSE(e.handled || e.save || e.push || e.pairingPolicy);
  EXPECT_EQ(Text(none), before);
  e = ApplyPageSetting(none, "codeEveryTime", true, 0);
  EXPECT_FALSE(none.codeEveryTime);
  EXPECT_TRUE(e.save && e.push && e.pairingPolicy);
  e = ApplyPageSetting(none, "pairingMethod", "off", 0);
  EXPECT_EQ(none.pairingMethod, PairingMethod::Off);
  EXPECT_TRUE(e.pairingPolicy && e.save && e.push);
  ApplyPageSetting(none, "pairingMethod", "anything", 0);
  EXPECT_EQ(none.pairingMethod, PairingMethod::Pin);

  Settings with = WithSecret();
  ApplyPageSetting(with, "pairingMethod", "authenticator", 0);
  EXPECT_EQ(with.pairingMethod, PairingMethod::Authenticator);
  ApplyPageSetting(with, "codeEveryTime", true, 0);
  EXPECT_TRUE(with.codeEveryTime);
}

TEST(PageSettingsTest, FixedPinStoresTheCurrentPinOrNone) {
  Settings s;
  PageSettingEffects e = ApplyPageSetting(s, "fixedPin", true, 123456);
  EXPECT_TRUE(s.fixedPin);
  EXPECT_EQ(s.pin, 123456u);
  EXPECT_TRUE(e.save && e.push && !e.pairingPolicy);
  ApplyPageSetting(s, "fixedPin", false, 654321);
  EXPECT_FALSE(s.fixedPin);
  EXPECT_EQ(s.pin, 0u);
}

TEST(PageSettingsTest, ServerAddressSavedOnlyWhenValid) {
  Settings s;
  PageSettingEffects e = ApplyPageSetting(s, "connectServer", "https://relay.example.org", 0);
  EXPECT_EQ(s.connectServer, "https://relay.example.org");
  EXPECT_TRUE(e.save && e.push && e.connect);
  for (const char* bad : {"", "relay.example.org", "https://a b", "http://", "HTTPS://x"}) {
    e = ApplyPageSetting(s, "connectServer", bad, 0);
    EXPECT_EQ(s.connectServer, "https://relay.example.org") << bad;
    EXPECT_TRUE(e.handled && e.push) << bad;
    EXPECT_FALSE(e.save || e.connect) << bad;
  }
}

TEST(PageSettingsTest, BitrateRowsAndRefusedValues) {
  const std::pair<const char*, uint32_t> rows[] = {{"1", 2},    {"500", 200},        {"12.9", 12},  {"-1", 200},
                                                   {"4294967296", 200}, {"1e20", 200}, {"150", 150}};
  for (auto [text, expected] : rows) {
    Settings s;
    const PageSettingEffects e = ApplyPageSetting(s, "bitrateMbps", json::parse(text), 0);
    EXPECT_EQ(s.bitrateMbps, expected) << text;
    EXPECT_TRUE(e.bitrate && e.save && e.push) << text;
  }
  for (const char* text : {"true", "\"x\"", "null"}) {
    Settings s;
    const std::string before = Text(s);
    EXPECT_THROW(ApplyPageSetting(s, "bitrateMbps", json::parse(text), 0), json::type_error) << text;
    EXPECT_EQ(Text(s), before) << text;
  }
}

TEST(PageSettingsTest, WrongTypesThrowAndChangeNothing) {
  const std::pair<const char*, const char*> rows[] = {
      {"allowWifi", "1"}, {"keepAwake", "\"yes\""}, {"fixedPin", "null"}, {"pairingMethod", "1"},
      {"connectServer", "true"}, {"startWithWindows", "0"}, {"codeEveryTime", "[]"}};
  for (auto [key, text] : rows) {
    Settings s;
    const std::string before = Text(s);
    EXPECT_THROW(ApplyPageSetting(s, key, json::parse(text), 7), json::type_error) << key;
    EXPECT_EQ(Text(s), before) << key;
  }
}

TEST(PageSettingsTest, AnUnknownKeyDoesNothing) {
  Settings s;
  const std::string before = Text(s);
  const PageSettingEffects e = ApplyPageSetting(s, "colour", true, 0);
  EXPECT_FALSE(e.handled || e.save || e.push || e.autostart.has_value());
  EXPECT_EQ(Text(s), before);
}

}  // namespace
}  // namespace kelm
