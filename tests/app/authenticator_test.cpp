// Authenticator enrolment: the otpauth URI, wiping of replaced secrets, and the check of
// the first code against the RFC 6238 vectors and an independent HMAC-SHA1.
#include "app/authenticator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "app/hmac_sha1_reference.h"

namespace kelm {
namespace {

using test::ReferenceTotp6;

// RFC 6238's SHA-1 secret: the ASCII digits "12345678901234567890".
const std::vector<uint8_t> kRfcSecret = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
                                         '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};
constexpr char kRfcSecretBase32[] = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";
// Steps of RFC 6238's times 1111111109 and 1111111111, and its codes' last six digits.
constexpr uint64_t kStepA = 37037036;
constexpr uint64_t kStepB = 37037037;
constexpr char kCodeA[] = "081804";
constexpr char kCodeB[] = "050471";

bool AllZero(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

TEST(AuthenticatorTest, OtpAuthUriForDesk1) {
  SecretBytes pending;
  const EnrolmentResult r = MakeOtpAuthUri(pending, "DESK-1", SecretBytes(kRfcSecret));
  EXPECT_EQ(r.uri, std::string("otpauth://totp/tavro%3ADESK-1?secret=") + kRfcSecretBase32 +
                       "&issuer=tavro&algorithm=SHA1&digits=6&period=30");
  EXPECT_EQ(r.secret, kRfcSecretBase32);
  EXPECT_EQ(pending, kRfcSecret);
}

TEST(AuthenticatorTest, LabelIsPercentEncodedUtf8) {
  SecretBytes pending;
  const EnrolmentResult r = MakeOtpAuthUri(pending, "B\xC3\xBCro PC", SecretBytes(kRfcSecret));
  EXPECT_TRUE(r.uri.starts_with("otpauth://totp/tavro%3AB%C3%BCro%20PC?secret=")) << r.uri;
}

TEST(AuthenticatorTest, ASecondEnrolmentWipesTheSecretItReplaces) {
  SecretBytes pending;
  std::vector<std::vector<uint8_t>> wiped;
  std::vector<const uint8_t*> wipedBuffers;
  auto hook = [&](std::span<const uint8_t> bytes) {
    wiped.emplace_back(bytes.begin(), bytes.end());
    wipedBuffers.push_back(bytes.data());
  };
  MakeOtpAuthUri(pending, "PC", SecretBytes(kRfcSecret), hook);
  ASSERT_EQ(wiped.size(), 1u);
  EXPECT_TRUE(wiped[0].empty());  // nothing was pending yet
  const uint8_t* oldBuffer = pending.data();
  std::vector<uint8_t> other(20, 0xA5);
  MakeOtpAuthUri(pending, "PC", SecretBytes(other), hook);
  ASSERT_EQ(wiped.size(), 2u);
  EXPECT_EQ(wipedBuffers[1], oldBuffer);
  EXPECT_EQ(wiped[1].size(), 20u);
  EXPECT_TRUE(AllZero(wiped[1]));
  EXPECT_EQ(pending, other);
}

TEST(AuthenticatorTest, MakeTotpSecretDrawsTwentyBytes) {
  SecretBytes pending;
  size_t asked = 0;
  auto random = [&](uint8_t* buffer, size_t count) {
    asked = count;
    for (size_t i = 0; i < count; ++i) buffer[i] = static_cast<uint8_t>(i + 1);
    return true;
  };
  const auto r = MakeTotpSecret(pending, "DESK-1", random);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(asked, 20u);
  EXPECT_EQ(pending.size(), 20u);
  EXPECT_EQ(r->secret.size(), 32u);
  EXPECT_EQ(r->secret, "AEBAGBAFAYDQQCIKBMGA2DQPCAIREEYU");  // base32 of bytes 1..20
  // The system source gives different secrets each time.
  SecretBytes a, b;
  ASSERT_TRUE(MakeTotpSecret(a, "PC").has_value());
  ASSERT_TRUE(MakeTotpSecret(b, "PC").has_value());
  EXPECT_EQ(a.size(), 20u);
  EXPECT_FALSE(a == b);
}

TEST(AuthenticatorTest, AFailingRandomSourceGivesNoResultAndNoPendingSecret) {
  SecretBytes pending(kRfcSecret);
  std::vector<std::vector<uint8_t>> wiped;
  const auto r = MakeTotpSecret(
      pending, "PC", [](uint8_t* buffer, size_t count) { return std::memset(buffer, 7, count), false; },
      [&](std::span<const uint8_t> bytes) { wiped.emplace_back(bytes.begin(), bytes.end()); });
  EXPECT_FALSE(r.has_value());
  EXPECT_TRUE(pending.empty());
  ASSERT_EQ(wiped.size(), 1u);
  EXPECT_EQ(wiped[0].size(), 20u);
  EXPECT_TRUE(AllZero(wiped[0]));
}

TEST(AuthenticatorTest, WipeSecretZeroesThenEmpties) {
  SecretBytes secret(kRfcSecret);
  const uint8_t* buffer = secret.data();
  std::vector<uint8_t> seen;
  const uint8_t* seenBuffer = nullptr;
  WipeSecret(secret, [&](std::span<const uint8_t> bytes) {
    seen.assign(bytes.begin(), bytes.end());
    seenBuffer = bytes.data();
  });
  EXPECT_EQ(seenBuffer, buffer);
  EXPECT_EQ(seen.size(), 20u);
  EXPECT_TRUE(AllZero(seen));
  EXPECT_TRUE(secret.empty());
}

TEST(AuthenticatorTest, ReferenceCodesMatchRfc6238) {
  EXPECT_EQ(ReferenceTotp6(kRfcSecret, 1), "287082");
  EXPECT_EQ(ReferenceTotp6(kRfcSecret, kStepA), kCodeA);
  EXPECT_EQ(ReferenceTotp6(kRfcSecret, kStepB), kCodeB);
  EXPECT_EQ(ReferenceTotp6(kRfcSecret, 41152263), "005924");
}

struct StepCase {
  int64_t offset;
  bool accepted;
};

TEST(AuthenticatorTest, CodesOfTheNeighbouringStepsOnlyAreAccepted) {
  const StepCase cases[] = {{-2, false}, {-1, true}, {0, true}, {1, true}, {2, false}};
  for (const StepCase& c : cases) {
    SCOPED_TRACE(c.offset);
    const uint64_t step = kStepB;
    const uint64_t codeStep = step + static_cast<uint64_t>(c.offset);
    std::string code = ReferenceTotp6(kRfcSecret, codeStep);
    if (codeStep == kStepA) EXPECT_EQ(code, kCodeA);
    if (codeStep == kStepB) EXPECT_EQ(code, kCodeB);
    SecretBytes pending(kRfcSecret);
    const auto result = VerifyTotpCode(pending, code, step);
    EXPECT_EQ(result.has_value(), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(*result, kRfcSecret);
      EXPECT_TRUE(pending.empty());
    } else {
      EXPECT_EQ(pending, kRfcSecret);
    }
  }
  // The RFC's step-1 code with the PC one step ahead.
  SecretBytes pending(kRfcSecret);
  EXPECT_TRUE(VerifyTotpCode(pending, "287082", 2).has_value());
}

TEST(AuthenticatorTest, StepsAtTheEdgesOfTheCounterAreRefused) {
  for (const uint64_t step : {uint64_t{0}, std::numeric_limits<uint64_t>::max()}) {
    SecretBytes pending(kRfcSecret);
    // The code that would match at the step itself.
    EXPECT_FALSE(VerifyTotpCode(pending, ReferenceTotp6(kRfcSecret, step), step).has_value()) << step;
    EXPECT_EQ(pending, kRfcSecret);
  }
}

TEST(AuthenticatorTest, CodesAndSecretsOfTheWrongLengthAreRefused) {
  const std::string right = ReferenceTotp6(kRfcSecret, kStepB);
  for (const std::string& code : {right.substr(1), right + "0", std::string("0") + right, std::string()}) {
    SecretBytes pending(kRfcSecret);
    EXPECT_FALSE(VerifyTotpCode(pending, code, kStepB).has_value()) << code;
    EXPECT_EQ(pending, kRfcSecret);
  }
  for (const size_t length : {size_t{0}, size_t{19}, size_t{21}}) {
    std::vector<uint8_t> bytes(length, 0x42);
    SecretBytes pending(bytes);
    EXPECT_FALSE(VerifyTotpCode(pending, ReferenceTotp6(bytes, kStepB), kStepB).has_value()) << length;
    EXPECT_EQ(pending, bytes);
  }
}

TEST(AuthenticatorTest, AnEmptyExpectedCodeNeverMatches) {
  int calls = 0;
  auto failing = [&](std::span<const uint8_t>, uint64_t, int) {
    ++calls;
    return std::string();
  };
  for (const std::string_view code : {"000000", "123456", "", "12345"}) {
    SecretBytes pending(kRfcSecret);
    EXPECT_FALSE(VerifyTotpCode(pending, code, kStepB, failing).has_value()) << code;
    EXPECT_EQ(pending, kRfcSecret);
  }
  EXPECT_EQ(calls, 6);  // three steps for each six-character code, none for the others
  // A short expected code (a broken source) is no prefix match either.
  auto shortCode = [](std::span<const uint8_t>, uint64_t, int) { return std::string("12"); };
  SecretBytes pending(kRfcSecret);
  EXPECT_FALSE(VerifyTotpCode(pending, "12zzzz", kStepB, shortCode).has_value());
}

TEST(AuthenticatorTest, ARefusedCodeKeepsTheEnrolmentForARightOne) {
  SecretBytes pending;
  MakeOtpAuthUri(pending, "DESK-1", SecretBytes(kRfcSecret));
  std::string wrong = kCodeB;
  wrong[5] = wrong[5] == '9' ? '0' : static_cast<char>(wrong[5] + 1);
  EXPECT_FALSE(VerifyTotpCode(pending, wrong, kStepB).has_value());
  EXPECT_EQ(pending, kRfcSecret);
  const auto result = VerifyTotpCode(pending, kCodeB, kStepB);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, kRfcSecret);
  EXPECT_TRUE(pending.empty());
  // Nothing is pending any more, so the same code is now refused.
  EXPECT_FALSE(VerifyTotpCode(pending, kCodeB, kStepB).has_value());
}

}  // namespace
}  // namespace kelm
