// Base64url: known texts, agreement with the system's standard base64, and every refusal rule.
#include "connect/base64url.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/encoding.h"

namespace kelm {
namespace {

std::vector<uint8_t> BytesOf(std::string_view s) { return {s.begin(), s.end()}; }

// The URL alphabet form of CryptoAPI's standard base64, as an independent reference.
std::string ReferenceEncode(const std::vector<uint8_t>& bytes) {
  std::string text = Base64Encode(bytes);
  std::replace(text.begin(), text.end(), '+', '-');
  std::replace(text.begin(), text.end(), '/', '_');
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

TEST(Base64UrlTest, KnownTexts) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "-_8"}, {"\xff\xff\xff", "____"}, {std::string(1, '\0'), "AA"}};
  for (const auto& [plain, text] : cases) {
    EXPECT_EQ(Base64UrlEncode(BytesOf(plain)), text) << text;
    const auto decoded = Base64UrlDecode(text);
    ASSERT_TRUE(decoded) << text;
    EXPECT_EQ(*decoded, BytesOf(plain)) << text;
  }
}

TEST(Base64UrlTest, RoundTripsForLengthsUpTo300) {
  for (size_t n = 0; n <= 300; ++n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + n * 11 + (i >> 3));
    const std::string text = Base64UrlEncode(bytes);
    EXPECT_EQ(text.size(), (4 * n + 2) / 3) << n;
    if (n > 0) {
      EXPECT_EQ(text, ReferenceEncode(bytes)) << n;
    }
    const auto back = Base64UrlDecode(text);
    ASSERT_TRUE(back) << n;
    EXPECT_EQ(*back, bytes) << n;
  }
  EXPECT_EQ(Base64UrlEncode(std::vector<uint8_t>(65, 0xA5)).size(), 87u);
  EXPECT_EQ(Base64UrlEncode(std::vector<uint8_t>(64, 0xA5)).size(), 86u);
}

TEST(Base64UrlTest, EveryByteValueRoundTrips) {
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Base64UrlDecode(Base64UrlEncode(all)), all);
}

TEST(Base64UrlTest, Refusals) {
  const std::vector<std::string> refused = {
      "A", "AAAAA", "AAAAAAAAA",          // length 1 modulo 4
      "AA==", "AAA=", "Zg=", "=",         // padding
      "AF", "AAB", "Zh", "Zm9",            // non-zero leftover bits
      "A A", " AA", "AA\n", "AA\t",       // white space
      "AB+C", "AB/C",                     // the standard alphabet's characters
      "AB.C", std::string("A\0AA", 4), "A\xc3\xa9", "\xff\xff"};
  for (const auto& text : refused) {
    EXPECT_FALSE(Base64UrlDecode(text).has_value()) << text;
  }
  const auto empty = Base64UrlDecode("");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(Base64UrlDecode("AA"), std::vector<uint8_t>{0});
  EXPECT_EQ(Base64UrlDecode("AAE"), (std::vector<uint8_t>{0, 1}));
}

}  // namespace
}  // namespace kelm
