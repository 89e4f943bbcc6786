#pragma once
// One-time codes: HOTP (RFC 4226) and the TOTP time step (RFC 6238, 30 s).
#include <cstdint>
#include <span>
#include <string>

namespace kelm {

// Decimal code left-padded with "0" to `digits`; empty when CNG fails.
std::string HotpCode(std::span<const uint8_t> secret, uint64_t counter, int digits);
uint64_t TotpTimeStep();

}  // namespace kelm
