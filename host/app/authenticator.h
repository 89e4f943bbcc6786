#pragma once
// Enrolment of an authenticator app: a new TOTP secret shown as an otpauth URI, and the
// check of the first code the user types back before the secret is kept.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/secret_bytes.h"

namespace kelm {

constexpr size_t kTotpSecretBytes = 20;
constexpr size_t kTotpDigits = 6;

struct EnrolmentResult {
  std::string uri;     // otpauth://totp/...
  std::string secret;  // the secret in base32, for typing in by hand
};

// Fills the buffer with random bytes; false when the source fails.
using RandomSource = std::function<bool(uint8_t* buffer, size_t count)>;
// The HOTP code of a secret and counter with that many digits; empty on failure.
using HotpSource = std::function<std::string(std::span<const uint8_t> secret, uint64_t counter, int digits)>;
// Sees a secret's buffer right after its bytes were overwritten, before it is released.
using WipeHook = std::function<void(std::span<const uint8_t> wiped)>;

// Overwrites every byte of the secret with zeros, then leaves it empty.
void WipeSecret(SecretBytes& secret, const WipeHook& hook = {});

// Replaces the pending secret (wiping the old one) with `newSecret` and gives its URI:
// label "tavro:" + the PC name, percent-encoded as one text.
EnrolmentResult MakeOtpAuthUri(SecretBytes& pending, std::string_view pcName, SecretBytes newSecret,
                               const WipeHook& hook = {});

// Starts an enrolment with 20 fresh random bytes. When the random source fails there is
// no result and the pending secret is left empty, so no predictable secret is enrolled.
std::optional<EnrolmentResult> MakeTotpSecret(SecretBytes& pending, std::string_view pcName,
                                              const RandomSource& random = {}, const WipeHook& hook = {});

// The pending secret, moved out (leaving it empty), when `code` is the six-digit code of
// step - 1, step or step + 1; otherwise nothing and the pending secret stays for another
// try. Refused at once without a 20-byte pending secret, for a code that is not six
// characters, or when the window would wrap around.
std::optional<SecretBytes> VerifyTotpCode(SecretBytes& pending, std::string_view code, uint64_t step,
                                          const HotpSource& hotp = {});

}  // namespace kelm
