// Authenticator enrolment: the secret's life from its random draw to its confirmation.
#include "app/authenticator.h"

#include <array>
#include <limits>
#include <vector>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/otp.h"
#include "core/percent_encode.h"

namespace kelm {

void WipeSecret(SecretBytes& secret, const WipeHook& hook) {
  WipeBytes(secret.data(), secret.size());
  if (hook) hook(std::span<const uint8_t>(secret.data(), secret.size()));
  secret.Wipe();
}

EnrolmentResult MakeOtpAuthUri(SecretBytes& pending, std::string_view pcName, SecretBytes newSecret,
                               const WipeHook& hook) {
  WipeSecret(pending, hook);
  pending = std::move(newSecret);
  EnrolmentResult result;
  result.secret = Base32Encode(pending);
  result.uri = "otpauth://totp/" + PercentEncode("tavro:" + std::string(pcName)) + "?secret=" + result.secret +
               "&issuer=tavro&algorithm=SHA1&digits=" + std::to_string(kTotpDigits) + "&period=30";
  return result;
}

std::optional<EnrolmentResult> MakeTotpSecret(SecretBytes& pending, std::string_view pcName,
                                              const RandomSource& random, const WipeHook& hook) {
  std::vector<uint8_t> bytes(kTotpSecretBytes);
  const bool drawn = random ? random(bytes.data(), bytes.size()) : RandomBytes(bytes.data(), bytes.size());
  SecretBytes fresh(std::move(bytes));
  if (!drawn) {
    WipeSecret(fresh);
    WipeSecret(pending, hook);
    return std::nullopt;
  }
  return MakeOtpAuthUri(pending, pcName, std::move(fresh), hook);
}

std::optional<SecretBytes> VerifyTotpCode(SecretBytes& pending, std::string_view code, uint64_t step,
                                          const HotpSource& hotp) {
  if (pending.size() != kTotpSecretBytes || code.size() != kTotpDigits || step == 0 ||
      step == std::numeric_limits<uint64_t>::max()) {
    return std::nullopt;
  }
  // All three codes are always computed and compared, so the time taken does not tell
  // which step matched. An expected code that is not six characters (the HMAC failed)
  // never matches.
  bool match = false;
  for (const uint64_t counter : std::array<uint64_t, 3>{step - 1, step, step + 1}) {
    std::string expected = hotp ? hotp(pending, counter, static_cast<int>(kTotpDigits))
                                : HotpCode(pending, counter, static_cast<int>(kTotpDigits));
    const bool equal = expected.size() == kTotpDigits && ConstantTimeEqual(expected.data(), code.data(), kTotpDigits);
    match = match || equal;  // no early exit: every code was computed above
    WipeBytes(expected.data(), expected.size());
  }
  if (!match) return std::nullopt;
  return std::optional<SecretBytes>(std::move(pending));
}

}  // namespace kelm
