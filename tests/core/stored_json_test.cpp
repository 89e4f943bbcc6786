// The stored JSON files' text as the host reads it: numbers that are not whole numbers
// of the right range fall back to defaults instead of converting out of range.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "core/devices_file.h"
#include "core/settings_fields.h"

namespace kelm {
namespace {

// Keys in these tests are the text "KEY": the decoder stands for base64.
std::optional<std::vector<uint8_t>> DecodeTestKey(std::string_view text) {
  if (text != "KEY") return std::nullopt;
  std::vector<uint8_t> key(65, 7);
  key[0] = 0x04;
  return key;
}

TEST(DevicesDocumentTest, NumbersOutOfRangeFallBack) {
  struct Case {
    const char* json;
    int64_t pairedAt;
    uint64_t lastStep;
  };
  const Case cases[] = {
      {R"({"devices":[{"key":"KEY","pairedAt":5}],"lastAuthenticatorStep":7})", 5, 7},
      {R"({"devices":[{"key":"KEY","pairedAt":-5}],"lastAuthenticatorStep":1.7e46})", -5, 0},
      {R"({"devices":[{"key":"KEY","pairedAt":1e300}],"lastAuthenticatorStep":-1})", 0, 0},
      {R"({"devices":[{"key":"KEY","pairedAt":"5"}],"lastAuthenticatorStep":18446744073709551615})", 0,
       std::numeric_limits<uint64_t>::max()},
      {R"({"devices":[{"key":"KEY","pairedAt":9.5}],"lastAuthenticatorStep":2.5})", 0, 0},
  };
  for (const Case& c : cases) {
    DevicesDocument doc;
    std::string error;
    ASSERT_TRUE(ParseDevicesDocument(c.json, DecodeTestKey, doc, error)) << c.json << error;
    ASSERT_EQ(doc.devices.size(), 1u) << c.json;
    EXPECT_EQ(doc.devices[0].pairedAt, c.pairedAt) << c.json;
    EXPECT_EQ(doc.lastAuthenticatorStep, c.lastStep) << c.json;
  }
}

TEST(DevicesDocumentTest, BadKeysAreSkippedAndBadTextIsReported) {
  DevicesDocument doc;
  std::string error;
  EXPECT_TRUE(ParseDevicesDocument(R"({"devices":[{"key":"nope"},{"key":"KEY","name":"T"}]})", DecodeTestKey, doc,
                                   error));
  ASSERT_EQ(doc.devices.size(), 1u);
  EXPECT_EQ(doc.devices[0].name, "T");
  EXPECT_EQ(doc.devices[0].id.size(), 16u);
  DevicesDocument bad;
  EXPECT_FALSE(ParseDevicesDocument("{\"devices\":[", DecodeTestKey, bad, error));
  EXPECT_FALSE(error.empty());
}

TEST(SettingsTextTest, NumbersOutOfRangeFallBack) {
  const auto none = [](const std::string&) -> std::optional<std::vector<uint8_t>> { return std::nullopt; };
  struct Case {
    const char* json;
    uint32_t pin;
    uint32_t bitrate;
    PairingMethod method;
  };
  const Case cases[] = {
      {R"({"pin":123456,"bitrateMbps":50,"pairingMethod":2})", 123456, 50, PairingMethod::Off},
      {R"({"pin":1e30,"bitrateMbps":-5,"pairingMethod":300})", 0, 20, PairingMethod::Pin},
      {R"({"pin":123456.5,"bitrateMbps":1e99,"pairingMethod":-1})", 0, 20, PairingMethod::Pin},
      {R"({"pin":99999,"bitrateMbps":1,"pairingMethod":1})", 0, 2, PairingMethod::Pin},
  };
  for (const Case& c : cases) {
    Settings s;
    std::string error;
    bool hadPlainPin = false;
    EXPECT_NE(ReadSettingsText(c.json, none, s, error, hadPlainPin), SettingsText::Invalid) << c.json;
    EXPECT_EQ(s.pin, c.pin) << c.json;
    EXPECT_EQ(s.bitrateMbps, c.bitrate) << c.json;
    EXPECT_EQ(s.pairingMethod, c.method) << c.json;
    EXPECT_TRUE(hadPlainPin) << c.json;
  }
}

}  // namespace
}  // namespace kelm
