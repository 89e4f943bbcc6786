// Hex and base32 text encodings (portable; base64 goes through CryptoAPI elsewhere).
#include "core/encoding.h"

#include "core/crypto.h"
#include "core/hex_digit.h"

namespace kelm {

std::string HexEncode(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::optional<std::vector<uint8_t>> HexDecode(std::string_view text) {
  if (text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<uint8_t> out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexValue(text[i]);
    const int lo = HexValue(text[i + 1]);
    if (hi < 0 || lo < 0) {
      return std::nullopt;
    }
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return out;
}

std::string KeyFingerprint(std::span<const uint8_t, 65> publicKey) {
  const Digest32 digest = Sha256(publicKey);
  return HexEncode(std::span(digest.data(), 8));
}

std::string Base32Encode(std::span<const uint8_t> bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string out;
  out.reserve((bytes.size() * 8 + 4) / 5);
  uint32_t buffer = 0;
  int bits = 0;
  for (const uint8_t b : bytes) {
    buffer = (buffer << 8) | b;
    bits += 8;
    while (bits >= 5) {
      bits -= 5;
      out.push_back(kAlphabet[(buffer >> bits) & 31]);
    }
  }
  if (bits > 0) {
    out.push_back(kAlphabet[(buffer << (5 - bits)) & 31]);
  }
  return out;
}

}  // namespace kelm
