#pragma once
// The two checksums STUN messages carry: HMAC-SHA1 (MESSAGE-INTEGRITY) and CRC-32
// (FINGERPRINT). Portable, so the message code also builds natively for fuzzing.
#include <array>
#include <cstdint>
#include <span>

namespace tavro::connect {

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest Sha1(std::span<const uint8_t> data);
Sha1Digest HmacSha1(std::span<const uint8_t> key, std::span<const uint8_t> data);
// CRC-32 as in ISO 3309 / zlib (reflected polynomial 0xEDB88320).
uint32_t Crc32(std::span<const uint8_t> data);

}  // namespace tavro::connect
