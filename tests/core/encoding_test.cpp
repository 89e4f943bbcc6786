#include "core/encoding.h"

#include <algorithm>
#include <array>
#include <string>

#include <gtest/gtest.h>


namespace kelm {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(HexTest, EncodeAndDecodeEdgeCases) {
  EXPECT_EQ(HexEncode(std::vector<uint8_t>{0x00, 0xAB, 0x7f, 0xff}), "00ab7fff");
  EXPECT_EQ(HexEncode({}), "");
  EXPECT_FALSE(HexDecode("a").has_value());
  EXPECT_FALSE(HexDecode("abc").has_value());
  ASSERT_TRUE(HexDecode("").has_value());
  EXPECT_TRUE(HexDecode("")->empty());
  EXPECT_EQ(HexDecode("aB"), std::vector<uint8_t>{0xAB});
  EXPECT_EQ(HexDecode("09Ff"), (std::vector<uint8_t>{0x09, 0xFF}));
  for (const char* bad : {"zz", "0g", "g0", " 0", "0x"}) {
    EXPECT_FALSE(HexDecode(bad).has_value()) << bad;
  }
}

TEST(HexTest, FingerprintIsFirstEightBytesOfSha256) {
  std::array<uint8_t, 65> key{};
  key[0] = 0x04;
  // SHA-256(0x04 followed by 64 zero bytes) begins 59ef1a5a00f35b1a.
  EXPECT_EQ(KeyFingerprint(key), "59ef1a5a00f35b1a");
  key[64] = 1;
  EXPECT_NE(KeyFingerprint(key), "59ef1a5a00f35b1a");
  EXPECT_EQ(KeyFingerprint(key).size(), 16u);
}

TEST(Base32Test, LengthsAndRfc4648Vectors) {
  EXPECT_EQ(Base32Encode(Bytes("f")), "MY");
  EXPECT_EQ(Base32Encode(Bytes("fooba")), "MZXW6YTB");
  EXPECT_EQ(Base32Encode(Bytes("foobar")), "MZXW6YTBOI");
  EXPECT_EQ(Base32Encode(std::vector<uint8_t>(1, 0xFF)).size(), 2u);
  EXPECT_EQ(Base32Encode(std::vector<uint8_t>(5, 0xFF)), "77777777");
  EXPECT_EQ(Base32Encode(Bytes("12345678901234567890")), "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ");
  for (size_t n = 0; n < 12; ++n) {
    const std::string text = Base32Encode(std::vector<uint8_t>(n, 0));
    EXPECT_EQ(text.size(), (n * 8 + 4) / 5);
    EXPECT_EQ(text.find('='), std::string::npos);
  }
}

}  // namespace
}  // namespace kelm
