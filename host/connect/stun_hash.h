#pragma once
// The checksums STUN messages carry: HMAC-SHA1 (MESSAGE-INTEGRITY), CRC-32 (FINGERPRINT)
// and MD5 (TURN's long-term key). Portable, so the message code also builds natively for fuzzing.
#include <array>
#include <cstdint>
#include <span>

namespace tavro::connect {

using Sha1Digest = std::array<uint8_t, 20>;
using Md5Digest = std::array<uint8_t, 16>;

Sha1Digest Sha1(std::span<const uint8_t> data);
Sha1Digest HmacSha1(std::span<const uint8_t> key, std::span<const uint8_t> data);
// MD5, only for the TURN long-term credential key MD5(username ":" realm ":" password).
Md5Digest Md5(std::span<const uint8_t> data);
// CRC-32 as in ISO 3309 / zlib (reflected polynomial 0xEDB88320).
uint32_t Crc32(std::span<const uint8_t> data);

}  // namespace tavro::connect
