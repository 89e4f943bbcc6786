#pragma once
// Text encodings of byte strings: hex, base64 (CryptoAPI), base32 (RFC 4648).
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

std::string HexEncode(std::span<const uint8_t> bytes);
// No value for an odd length or a character outside 0-9, a-f, A-F.
std::optional<std::vector<uint8_t>> HexDecode(std::string_view text);
// 16 lower-case hex characters: the first 8 bytes of SHA-256 of the 65-byte key.
std::string KeyFingerprint(std::span<const uint8_t, 65> publicKey);

// Standard base64 with "=" padding and no line breaks; empty when Windows fails.
std::string Base64Encode(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

// RFC 4648 base32 without padding.
std::string Base32Encode(std::span<const uint8_t> bytes);

}  // namespace kelm
