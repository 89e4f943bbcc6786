#include "core/curve25519.h"

#include <cstring>

#include "core/crypto.h"

namespace kelm {
namespace {

// GF(2^255 - 19) as 16 signed limbs, limb i weighing 2^(16 i).
struct Fe {
  int64_t v[16];
};

Fe FeConst(int64_t c) {
  Fe r{};
  r.v[0] = c;
  return r;
}

void FeWipe(Fe& a) { WipeBytes(a.v, sizeof a.v); }

// Moves each limb's carry into the next; the top carry wraps to limb 0 times 38
// (2^256 = 38 mod p).
void Carry(Fe& a) {
  for (int i = 0; i < 16; ++i) {
    // floor(limb / 2^16), computed on limb + 2^16 so negative limbs round down.
    const int64_t c = ((a.v[i] + (int64_t{1} << 16)) >> 16) - 1;
    a.v[i] -= c * (int64_t{1} << 16);
    if (i < 15) {
      a.v[i + 1] += c;
    } else {
      a.v[0] += 38 * c;
    }
  }
}

Fe Add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 16; ++i) r.v[i] = a.v[i] + b.v[i];
  return r;
}

Fe Sub(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 16; ++i) r.v[i] = a.v[i] - b.v[i];
  return r;
}

Fe Mul(const Fe& a, const Fe& b) {
  int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) {
      t[i + j] += a.v[i] * b.v[j];
    }
  }
  for (int i = 0; i < 15; ++i) {
    t[i] += 38 * t[i + 16];
  }
  Fe r;
  std::memcpy(r.v, t, sizeof r.v);
  WipeBytes(t, sizeof t);
  Carry(r);
  Carry(r);
  return r;
}

Fe Square(const Fe& a) { return Mul(a, a); }

// Swaps a and b when bit is 1, without a branch.
void CondSwap(Fe& a, Fe& b, int64_t bit) {
  const int64_t mask = -bit;
  for (int i = 0; i < 16; ++i) {
    const int64_t t = mask & (a.v[i] ^ b.v[i]);
    a.v[i] ^= t;
    b.v[i] ^= t;
  }
}

// a^(p-2) = a^(2^255 - 21): bits 254..0 are all set except bits 4 and 2.
Fe Invert(const Fe& a) {
  Fe c = a;
  for (int i = 253; i >= 0; --i) {
    c = Square(c);
    if (i != 2 && i != 4) {
      c = Mul(c, a);
    }
  }
  return c;
}

// a^((p-1)/2) = a^(2^254 - 10): 1 for a non-zero square, p - 1 for a non-square.
Fe Legendre(const Fe& a) {
  Fe c = a;
  for (int i = 252; i >= 0; --i) {
    c = Square(c);
    if (i != 3 && i != 0) {
      c = Mul(c, a);
    }
  }
  return c;
}

void Unpack(Fe& r, std::span<const uint8_t, 32> in) {
  for (int i = 0; i < 16; ++i) {
    r.v[i] = in[2 * i] + (int64_t{in[2 * i + 1]} << 8);
  }
  r.v[15] &= 0x7FFF;
}

void Pack(std::span<uint8_t, 32> out, const Fe& a) {
  Fe t = a;
  Carry(t);
  Carry(t);
  Carry(t);
  Fe m{};
  for (int pass = 0; pass < 2; ++pass) {
    m.v[0] = t.v[0] - 0xFFED;
    for (int i = 1; i < 15; ++i) {
      m.v[i] = t.v[i] - 0xFFFF - ((m.v[i - 1] >> 16) & 1);
      m.v[i - 1] &= 0xFFFF;
    }
    m.v[15] = t.v[15] - 0x7FFF - ((m.v[14] >> 16) & 1);
    const int64_t borrow = (m.v[15] >> 16) & 1;
    m.v[14] &= 0xFFFF;
    // Keep t - p unless it went negative.
    CondSwap(t, m, 1 - borrow);
  }
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<uint8_t>(t.v[i] & 0xFF);
    out[2 * i + 1] = static_cast<uint8_t>((t.v[i] >> 8) & 0xFF);
  }
  FeWipe(t);
  FeWipe(m);
}

}  // namespace

void Elligator2Curve25519(std::span<const uint8_t, 32> r, std::span<uint8_t, 32> u) {
  const Fe one = FeConst(1);
  const Fe a = FeConst(486662);
  const Fe halfA = FeConst(243331);
  Fe fr{};
  Unpack(fr, r);
  Fe t = Add(one, Add(Square(fr), Square(fr)));  // 1 + 2 r^2
  Fe x1 = Sub(FeConst(0), Mul(a, Invert(t)));    // -A / t
  Fe gx1 = Mul(Add(Add(Square(x1), Mul(a, x1)), one), x1);
  Fe e = Legendre(gx1);
  Fe result = Sub(Mul(e, x1), Mul(Sub(one, e), halfA));
  Pack(u, result);
  FeWipe(fr);
  FeWipe(t);
  FeWipe(x1);
  FeWipe(gx1);
  FeWipe(e);
  FeWipe(result);
}

void X25519(std::span<uint8_t, 32> out, std::span<const uint8_t, 32> scalar, std::span<const uint8_t, 32> u) {
  uint8_t k[32];
  std::memcpy(k, scalar.data(), 32);
  k[0] &= 248;
  k[31] &= 127;
  k[31] |= 64;

  Fe x1{};
  Unpack(x1, u);
  Fe x2 = FeConst(1), z2 = FeConst(0), x3 = x1, z3 = FeConst(1);
  const Fe a24 = FeConst(121665);
  int64_t swap = 0;
  for (int t = 254; t >= 0; --t) {
    const int64_t bit = (k[t >> 3] >> (t & 7)) & 1;
    swap ^= bit;
    CondSwap(x2, x3, swap);
    CondSwap(z2, z3, swap);
    swap = bit;

    const Fe a = Add(x2, z2);
    const Fe aa = Square(a);
    const Fe b = Sub(x2, z2);
    const Fe bb = Square(b);
    const Fe e = Sub(aa, bb);
    const Fe c = Add(x3, z3);
    const Fe d = Sub(x3, z3);
    const Fe da = Mul(d, a);
    const Fe cb = Mul(c, b);
    x3 = Square(Add(da, cb));
    z3 = Mul(x1, Square(Sub(da, cb)));
    x2 = Mul(aa, bb);
    z2 = Mul(e, Add(aa, Mul(a24, e)));
  }
  CondSwap(x2, x3, swap);
  CondSwap(z2, z3, swap);
  Fe result = Mul(x2, Invert(z2));
  Pack(out, result);

  WipeBytes(k, sizeof k);
  FeWipe(x1);
  FeWipe(x2);
  FeWipe(z2);
  FeWipe(x3);
  FeWipe(z3);
  FeWipe(result);
}

}  // namespace kelm
