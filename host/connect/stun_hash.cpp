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

uint32_t Crc32(std::span<const uint8_t> data) {
  static const CrcTable table;
  uint32_t c = 0xFFFFFFFFu;
  for (uint8_t b : data) c = table.entry[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

}  // namespace tavro::connect
