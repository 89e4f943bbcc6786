// The page's status snapshot against a golden text, the settings object, and the rules
// behind the pairing link, server address, bitrate and state texts.
#include "app/page_state.h"

#include <gtest/gtest.h>

#include <format>

#include "app/crafted_ui_state.h"
#include "app/qr_code.h"
#include "app/ui_state_golden.h"

namespace kelm {
namespace {

using nlohmann::json;

TEST(PageStateTest, StatusSnapshotMatchesTheGoldenText) {
  Crafted c = CraftedState();
  QrCache pairingQr, appQr;
  json state = BuildUiState(c.status, c.devices, "0123456789abcdef", pairingQr, appQr);
  ASSERT_EQ(state["pairingLink"], kUiStateGoldenLink);
  EXPECT_EQ(state["pairingQr"], QrSvg(kUiStateGoldenLink));
  EXPECT_EQ(state["appQr"], QrSvg(kCompanionAppUrl));
  EXPECT_FALSE(state["pairingQr"].get<std::string>().empty());
  state["pairingQr"] = "<qr>";
  state["appQr"] = "<qr>";
  EXPECT_EQ(PageJsonText(state), kUiStateGolden);
}

TEST(PageStateTest, ARepeatedLinkIsRenderedOnce) {
  Crafted c = CraftedState();
  QrCache pairingQr, appQr;
  const std::string first = PageJsonText(BuildUiState(c.status, c.devices, "f", pairingQr, appQr));
  const std::string second = PageJsonText(BuildUiState(c.status, c.devices, "f", pairingQr, appQr));
  EXPECT_EQ(first, second);
  EXPECT_EQ(pairingQr.Renders(), 1u);
  EXPECT_EQ(appQr.Renders(), 1u);
  c.status.options.pin = 999999;
  const json changed = BuildUiState(c.status, c.devices, "f", pairingQr, appQr);
  EXPECT_EQ(pairingQr.Renders(), 2u);
  EXPECT_EQ(appQr.Renders(), 1u);
  EXPECT_EQ(changed["pairingQr"], QrSvg(changed["pairingLink"].get<std::string>()));
}

TEST(PageStateTest, InvalidUtf8BecomesReplacementCharacters) {
  Crafted c = CraftedState();
  c.status.sessions[0].transferText = "a\xFF" "b";
  c.status.connect.detail = "relay \xFF";
  c.status.addresses[1].adapterName = "\xFFWi-Fi";
  QrCache pairingQr, appQr;
  std::string text;
  ASSERT_NO_THROW(text = PageJsonText(BuildUiState(c.status, c.devices, "f", pairingQr, appQr)));
  const json back = json::parse(text);
  EXPECT_EQ(back["sessions"][0]["transfer"], "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(back["connect"]["detail"], "relay \xEF\xBF\xBD");
  EXPECT_EQ(back["addresses"][1]["adapter"], "\xEF\xBF\xBDWi-Fi");
}

TEST(PageStateTest, PairingLinkRows) {
  struct Row {
    const char* what;
    PairingMethod method;
    bool usbOnly;
    bool withAddress;
    uint32_t pin;
    const char* name;
    const char* link;
  };
  const Row rows[] = {
      {"pin", PairingMethod::Pin, false, true, 12345, "DESK", "tavro://connect?host=10.1.2.3&port=27183&pin=012345&name=DESK"},
      {"authenticator", PairingMethod::Authenticator, false, true, 12345, "DESK", "tavro://connect?host=10.1.2.3&port=27183&name=DESK"},
      {"off", PairingMethod::Off, false, true, 12345, "DESK", "tavro://connect?host=10.1.2.3&port=27183&name=DESK"},
      {"usb only", PairingMethod::Pin, true, true, 12345, "DESK", ""},
      {"no address", PairingMethod::Pin, false, false, 12345, "DESK", ""},
      {"encoded name", PairingMethod::Pin, false, true, 100000, "DESK Müller",
       "tavro://connect?host=10.1.2.3&port=27183&pin=100000&name=DESK%20M%C3%BCller"},
      {"kept bytes", PairingMethod::Off, false, true, 0, "a-Z.0_~/", "tavro://connect?host=10.1.2.3&port=27183&name=a-Z.0_~%2F"},
  };
  for (const Row& r : rows) {
    HostStatus s;
    s.options.pairingMethod = r.method;
    s.options.usbOnly = r.usbOnly;
    s.options.pin = r.pin;
    s.options.name = r.name;
    if (r.withAddress) s.addresses = {{"10.1.2.3", "Ethernet", false}};
    EXPECT_EQ(PairingLink(s), r.link) << r.what;
    QrCache pairingQr, appQr;
    const json state = BuildUiState(s, {}, "", pairingQr, appQr);
    EXPECT_EQ(state["pairingLink"], r.link) << r.what;
    EXPECT_EQ(state["pairingQr"].get<std::string>().empty(), std::string(r.link).empty()) << r.what;
  }
}

TEST(PageStateTest, SettingsObjectForDefaultsAndEveryFieldChanged) {
  EXPECT_EQ(PageJsonText(SettingsJson(Settings{}, false, 0)),
            R"({"allowWifi":true,"authenticatorSet":false,"bitrateMbps":20,"codeEveryTime":false,)"
            R"("connectEnabled":false,"connectServer":")" + std::string(kDefaultConnectServer) +
                R"(","fixedPin":false,"forwardNotifications":true,"keepAwake":true,)"
                R"("notificationAccess":"unavailable","pairingMethod":"pin","startWithWindows":false,"useAdb":true})");
  Settings changed;
  changed.allowWifi = false;
  changed.fixedPin = true;
  changed.pin = 555555;
  changed.pairingMethod = PairingMethod::Authenticator;
  changed.authenticatorSecret = SecretBytes(std::vector<uint8_t>(20, 7));
  changed.codeEveryTime = true;
  changed.bitrateMbps = 150;
  changed.useAdb = false;
  changed.keepAwake = false;
  changed.forwardNotifications = false;
  changed.connectEnabled = true;
  changed.connectServer = "https://relay.example.org";
  EXPECT_EQ(PageJsonText(SettingsJson(changed, true, 2)),
            R"({"allowWifi":false,"authenticatorSet":true,"bitrateMbps":150,"codeEveryTime":true,)"
            R"("connectEnabled":true,"connectServer":"https://relay.example.org","fixedPin":true,)"
            R"("forwardNotifications":false,"keepAwake":false,"notificationAccess":"allowed",)"
            R"("pairingMethod":"authenticator","startWithWindows":true,"useAdb":false})");
  changed.pairingMethod = PairingMethod::Off;
  EXPECT_EQ(SettingsJson(changed, true, 2)["pairingMethod"], "off");
  changed.pairingMethod = static_cast<PairingMethod>(9);
  EXPECT_EQ(SettingsJson(changed, true, 2)["pairingMethod"], "pin");
}

TEST(PageStateTest, StateTexts) {
  const std::pair<uint32_t, const char*> connect[] = {
      {0, "off"}, {1, "connecting"}, {2, "online"}, {3, "failed"}, {7, "off"}};
  for (auto [state, text] : connect) {
    ConnectClient::Status s;
    s.state = static_cast<ConnectClient::State>(state);
    s.detail = "d";
    EXPECT_EQ(ConnectStateJson(s).dump(), std::format(R"({{"detail":"d","state":"{}"}})", text)) << state;
  }
  const std::pair<uint32_t, const char*> access[] = {
      {0, "unavailable"}, {1, "unknown"}, {2, "allowed"}, {3, "denied"}, {9, "unavailable"}};
  for (auto [value, text] : access) EXPECT_EQ(NotificationAccessText(value), text) << value;
  EXPECT_EQ(PinText(0), "000000");
  EXPECT_EQ(PinText(12345), "012345");
  EXPECT_EQ(PinText(999999), "999999");
  EXPECT_EQ(ParsePairingMethod("authenticator"), PairingMethod::Authenticator);
  EXPECT_EQ(ParsePairingMethod("off"), PairingMethod::Off);
  EXPECT_EQ(ParsePairingMethod("pin"), PairingMethod::Pin);
  EXPECT_EQ(ParsePairingMethod("Off"), PairingMethod::Pin);
  EXPECT_EQ(ParsePairingMethod(""), PairingMethod::Pin);
}

TEST(PageStateTest, ServerAddressRows) {
  const std::string host256 = "https://" + std::string(256 - 8, 'a');
  const std::pair<std::string, bool> rows[] = {
      {host256, true},
      {host256 + "a", false},
      {"https://a", true},
      {"https:///x", false},
      {"https://", false},
      {"http://a", true},
      {"http://", false},
      {"http:///a", false},
      {"HTTPS://x", false},
      {"ftp://x", false},
      {"", false},
      {"https://a b", false},
      {"https://a\tb", false},
      {"https://a\rb", false},
      {"https://a\nb", false},
      {"https://a\"b", false},
      {"https://a<b", false},
      {"https://a>b", false},
  };
  for (const auto& [text, valid] : rows) EXPECT_EQ(IsValidServerUrl(text), valid) << text;
}

TEST(PageStateTest, BitrateRows) {
  const std::pair<const char*, uint32_t> rows[] = {
      {"1", 2},    {"2", 2},    {"0", 2},      {"500", 200},  {"12.9", 12},     {"12", 12},
      {"200", 200}, {"200.5", 200}, {"-1", 200}, {"-0.5", 200}, {"4294967296", 200}, {"1e20", 200},
      {"1.9", 2},  {"18446744073709551615", 200}, {"-9223372036854775808", 200},
  };
  for (auto [text, expected] : rows) EXPECT_EQ(BitrateFromJson(json::parse(text)), expected) << text;
  const std::pair<const char*, const char*> refused[] = {
      {"true", "boolean"}, {"\"x\"", "string"}, {"null", "null"}, {"[1]", "array"}, {"{}", "object"}};
  for (auto [text, type] : refused) {
    try {
      BitrateFromJson(json::parse(text));
      ADD_FAILURE() << text;
    } catch (const json::type_error& e) {
      EXPECT_NE(std::string(e.what()).find(std::string("type must be number, but is ") + type), std::string::npos)
          << e.what();
    }
  }
}

}  // namespace
}  // namespace kelm
