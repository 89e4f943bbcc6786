#pragma once
// Base64url (RFC 4648 section 5, no padding) for relay messages and update signatures.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

// Always ceil(4n/3) characters; a final 2 or 4 bits are left-aligned in one more character.
std::string Base64UrlEncode(std::span<const uint8_t> bytes);

// No value for a length of 1 modulo 4, a character outside the alphabet (padding and
// white space included) or non-zero leftover bits. Empty text gives empty bytes.
std::optional<std::vector<uint8_t>> Base64UrlDecode(std::string_view text);

}  // namespace kelm
