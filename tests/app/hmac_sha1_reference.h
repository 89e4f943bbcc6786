#pragma once
// A plain SHA-1 and HMAC-SHA1 (FIPS 180-4, RFC 2104) for the tests, sharing nothing with
// the host's crypto, and the RFC 4226 truncation to a decimal code on top of it.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kelm::test {

inline std::array<uint8_t, 20> ReferenceSha1(std::span<const uint8_t> message) {
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  std::vector<uint8_t> m(message.begin(), message.end());
  const uint64_t bitLength = static_cast<uint64_t>(m.size()) * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bitLength >> (8 * i)));
  auto rotl = [](uint32_t v, int n) { return (v << n) | (v >> (32 - n)); };
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) {
      w[t] = static_cast<uint32_t>(m[block + 4 * t]) << 24 | static_cast<uint32_t>(m[block + 4 * t + 1]) << 16 |
             static_cast<uint32_t>(m[block + 4 * t + 2]) << 8 | m[block + 4 * t + 3];
    }
    for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int t = 0; t < 80; ++t) {
      uint32_t f, k;
      if (t < 20) {
        f = (b & c) | (~b & d), k = 0x5A827999;
      } else if (t < 40) {
        f = b ^ c ^ d, k = 0x6ED9EBA1;
      } else if (t < 60) {
        f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d, k = 0xCA62C1D6;
      }
      const uint32_t next = rotl(a, 5) + f + e + k + w[t];
      e = d, d = c, c = rotl(b, 30), b = a, a = next;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  std::array<uint8_t, 20> out{};
  for (int i = 0; i < 20; ++i) out[i] = static_cast<uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  return out;
}

inline std::array<uint8_t, 20> ReferenceHmacSha1(std::span<const uint8_t> key, std::span<const uint8_t> data) {
  std::vector<uint8_t> k(key.begin(), key.end());
  if (k.size() > 64) {
    const auto hashed = ReferenceSha1(k);
    k.assign(hashed.begin(), hashed.end());
  }
  k.resize(64, 0);
  std::vector<uint8_t> inner, outer;
  for (uint8_t b : k) inner.push_back(b ^ 0x36);
  for (uint8_t b : k) outer.push_back(b ^ 0x5C);
  inner.insert(inner.end(), data.begin(), data.end());
  const auto innerHash = ReferenceSha1(inner);
  outer.insert(outer.end(), innerHash.begin(), innerHash.end());
  return ReferenceSha1(outer);
}

// RFC 4226's six-digit code of `counter`.
inline std::string ReferenceTotp6(std::span<const uint8_t> secret, uint64_t counter) {
  uint8_t message[8];
  for (int i = 0; i < 8; ++i) message[i] = static_cast<uint8_t>(counter >> (56 - 8 * i));
  const auto mac = ReferenceHmacSha1(secret, message);
  const int offset = mac[19] & 0x0F;
  const uint32_t value = (static_cast<uint32_t>(mac[offset] & 0x7F) << 24) |
                         (static_cast<uint32_t>(mac[offset + 1]) << 16) |
                         (static_cast<uint32_t>(mac[offset + 2]) << 8) | mac[offset + 3];
  std::string code = std::to_string(value % 1000000);
  return std::string(6 - code.size(), '0') + code;
}

}  // namespace kelm::test
