// Base64url encoding and its strict decoder.
#include "connect/base64url.h"

#include <array>

namespace kelm {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<int8_t, 256> MakeReverse() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr std::array<int8_t, 256> kReverse = MakeReverse();

}  // namespace

std::string Base64UrlEncode(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  uint32_t accumulator = 0;
  int bits = 0;
  for (const uint8_t b : bytes) {
    accumulator = (accumulator << 8) | b;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kAlphabet[(accumulator >> bits) & 0x3F]);
    }
    accumulator &= (1u << bits) - 1;  // keep only the bits not yet written
  }
  if (bits > 0) {
    out.push_back(kAlphabet[(accumulator << (6 - bits)) & 0x3F]);
  }
  return out;
}

std::optional<std::vector<uint8_t>> Base64UrlDecode(std::string_view text) {
  if (text.size() % 4 == 1) {
    return std::nullopt;
  }
  std::vector<uint8_t> out;
  out.reserve(text.size() * 3 / 4);
  uint32_t accumulator = 0;
  int bits = 0;
  for (const char c : text) {
    const int value = kReverse[static_cast<uint8_t>(c)];
    if (value < 0) {
      return std::nullopt;
    }
    accumulator = (accumulator << 6) | static_cast<uint32_t>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(accumulator >> bits));
      accumulator &= (1u << bits) - 1;
    }
  }
  // Leftover bits that carry data would be silently lost: such a text is not canonical.
  if (accumulator != 0) {
    return std::nullopt;
  }
  return out;
}

}  // namespace kelm
