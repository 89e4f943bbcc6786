// The encodings and secrets that go through Windows: base64 (CryptoAPI), DPAPI and
// the one-time codes over CNG.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/dpapi.h"
#include "core/encoding.h"
#include "core/otp.h"

namespace kelm {
namespace {

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Base64Test, Rfc4648VectorsRoundTrip) {
  const std::pair<const char*, const char*> cases[] = {
      {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : cases) {
    EXPECT_EQ(Base64Encode(Bytes(plain)), encoded);
    EXPECT_EQ(Base64Decode(encoded), Bytes(plain));
  }
  // No line breaks even for long input.
  const std::string encoded = Base64Encode(std::vector<uint8_t>(200, 0x5A));
  EXPECT_EQ(encoded.size(), 268u);
  EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
  EXPECT_FALSE(Base64Decode("*!*").has_value());
}

TEST(DpapiTest, ProtectsAndUnprotects) {
  const std::vector<uint8_t> secret = Bytes("authenticator secret");
  const auto sealed = DpapiProtect(secret);
  ASSERT_TRUE(sealed.has_value());
  EXPECT_EQ(std::search(sealed->begin(), sealed->end(), secret.begin(), secret.end()), sealed->end());
  EXPECT_EQ(DpapiUnprotect(*sealed), secret);
  EXPECT_NE(DpapiProtect(secret), sealed);  // fresh salt every time
  EXPECT_FALSE(DpapiUnprotect(Bytes("not a blob")).has_value());
}

// RFC 4226 appendix D and RFC 6238 appendix B (SHA-1 rows).
TEST(OtpTest, HotpAndTotpVectors) {
  const std::vector<uint8_t> secret = Bytes("12345678901234567890");
  const char* hotp[] = {"755224", "287082", "359152", "969429", "338314",
                        "254676", "287922", "162583", "399871", "520489"};
  for (uint64_t counter = 0; counter < 10; ++counter) {
    EXPECT_EQ(HotpCode(secret, counter, 6), hotp[counter]) << counter;
  }
  const std::pair<uint64_t, const char*> totp[] = {
      {59, "94287082"},         {1111111109, "07081804"}, {1111111111, "14050471"},
      {1234567890, "89005924"}, {2000000000, "69279037"}, {20000000000, "65353130"},
  };
  for (const auto& [seconds, code] : totp) {
    EXPECT_EQ(HotpCode(secret, seconds / 30, 8), code) << seconds;
  }
}

TEST(OtpTest, TimeStepFollowsTheClock) {
  // 2026-01-01 is step 58907520; the clock here runs later than that.
  const uint64_t step = TotpTimeStep();
  EXPECT_GT(step, 58907520u);
  EXPECT_LT(step, 58907520u + 10 * 365 * 2880u);
}

}  // namespace
}  // namespace kelm
