// SHA-1, HMAC-SHA1 and CRC-32 for STUN message checks.
#include "connect/stun_hash.h"

#include <cstring>
#include <vector>

namespace tavro::connect {
namespace {

inline uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

class Sha1State {
 public:
  void Update(std::span<const uint8_t> data) {
    for (uint8_t b : data) {
      block_[fill_++] = b;
      if (fill_ == 64) {
        Compress();
        fill_ = 0;
      }
    }
    bits_ += uint64_t{data.size()} * 8;
  }
  Sha1Digest Finish() {
    uint64_t bits = bits_;
    uint8_t pad = 0x80;
    Update({&pad, 1});
    uint8_t zero = 0;
    while (fill_ != 56) Update({&zero, 1});
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Update(length);
    Sha1Digest out;
    for (int i = 0; i < 5; ++i) {
      for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    }
    return out;
  }

 private:
  void Compress() {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      w[i] = (uint32_t{block_[i * 4]} << 24) | (uint32_t{block_[i * 4 + 1]} << 16) |
             (uint32_t{block_[i * 4 + 2]} << 8) | block_[i * 4 + 3];
    }
    for (int i = 16; i < 80; ++i) w[i] = Rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      uint32_t t = Rotl(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = Rotl(b, 30);
      b = a;
      a = t;
    }
    h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e;
  }

  uint32_t h_[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  uint8_t block_[64] = {};
  size_t fill_ = 0;
  uint64_t bits_ = 0;
};

struct CrcTable {
  uint32_t entry[256];
  CrcTable() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      entry[i] = c;
    }
  }
};

}  // namespace

Sha1Digest Sha1(std::span<const uint8_t> data) {
  Sha1State state;
  state.Update(data);
  return state.Finish();
}

Sha1Digest HmacSha1(std::span<const uint8_t> key, std::span<const uint8_t> data) {
  uint8_t block[64] = {};
  if (key.size() > 64) {
    Sha1Digest hashed = Sha1(key);
    std::memcpy(block, hashed.data(), hashed.size());
  } else if (!key.empty()) {
    std::memcpy(block, key.data(), key.size());
  }
  uint8_t inner[64], outer[64];
  for (int i = 0; i < 64; ++i) {
    inner[i] = block[i] ^ 0x36;
    outer[i] = block[i] ^ 0x5C;
  }
  Sha1State in;
  in.Update(inner);
  in.Update(data);
  Sha1Digest innerDigest = in.Finish();
  Sha1State out;
  out.Update(outer);
  out.Update(innerDigest);
  return out.Finish();
}

Md5Digest Md5(std::span<const uint8_t> data) {
  static const uint32_t k[64] = {
      0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
      0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
      0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
      0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
      0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
      0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
      0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
      0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
  static const int r[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
  std::vector<uint8_t> msg(data.begin(), data.end());
  uint64_t bits = uint64_t{data.size()} * 8;
  msg.push_back(0x80);
  while (msg.size() % 64 != 56) msg.push_back(0);
  for (int i = 0; i < 8; ++i) msg.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (size_t off = 0; off < msg.size(); off += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
      const uint8_t* p = msg.data() + off + i * 4;
      w[i] = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      if (i < 16) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (i < 32) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (i < 48) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      uint32_t t = d;
      d = c;
      c = b;
      b = b + Rotl(a + f + k[i] + w[g], r[i]);
      a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
  }
  Md5Digest out;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) out[i * 4 + j] = static_cast<uint8_t>(h[i] >> (8 * j));
  }
  return out;
}

uint32_t Crc32(std::span<const uint8_t> data) {
  static const CrcTable table;
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : data) c = table.entry[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

}  // namespace tavro::connect
