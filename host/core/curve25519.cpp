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

void Add(Fe& o, const Fe& a, const Fe& b) {
  for (int i = 0; i < 16; ++i) o.v[i] = a.v[i] + b.v[i];
}

void Sub(Fe& o, const Fe& a, const Fe& b) {
  for (int i = 0; i < 16; ++i) o.v[i] = a.v[i] - b.v[i];
}

// Schoolbook product; the upper 15 product limbs fold into the lower ones times 38.
// `o` may alias `a` or `b`.
void Mul(Fe& o, const Fe& a, const Fe& b) {
  int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) {
      t[i + j] += a.v[i] * b.v[j];
    }
  }
  for (int i = 0; i < 15; ++i) {
    t[i] += 38 * t[i + 16];
  }
  std::memcpy(o.v, t, sizeof o.v);
  WipeBytes(t, sizeof t);
  Carry(o);
  Carry(o);
}

void Square(Fe& o, const Fe& a) { Mul(o, a, a); }

// Swaps a and b when bit is 1, without a branch.
void CondSwap(Fe& a, Fe& b, int64_t bit) {
  const int64_t mask = -bit;
  for (int i = 0; i < 16; ++i) {
    const int64_t t = mask & (a.v[i] ^ b.v[i]);
    a.v[i] ^= t;
    b.v[i] ^= t;
  }
}

// o = a^(p-2) = a^(2^255 - 21): bits 254..0 are all set except bits 4 and 2.
// `o` must not alias `a`.
void Invert(Fe& o, const Fe& a) {
  o = a;
  for (int i = 253; i >= 0; --i) {
    Square(o, o);
    if (i != 2 && i != 4) {
      Mul(o, o, a);
    }
  }
}

// o = a^((p-1)/2) = a^(2^254 - 10): 1 for a non-zero square, p - 1 for a
// non-square. `o` must not alias `a`.
void Legendre(Fe& o, const Fe& a) {
  o = a;
  for (int i = 252; i >= 0; --i) {
    Square(o, o);
    if (i != 3 && i != 0) {
      Mul(o, o, a);
    }
  }
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
  Fe fr{}, t, inv, x1, gx1, e, m1, m2;
  Unpack(fr, r);
  Square(t, fr);
  Add(t, t, t);
  Add(t, t, one);     // t = 1 + 2 r^2
  Invert(inv, t);
  Mul(x1, a, inv);
  Sub(x1, FeConst(0), x1);  // x1 = -A / t
  Square(gx1, x1);
  Mul(m1, a, x1);
  Add(gx1, gx1, m1);
  Add(gx1, gx1, one);
  Mul(gx1, gx1, x1);  // gx1 = (x1^2 + A x1 + 1) x1
  Legendre(e, gx1);
  Mul(m1, e, x1);
  Sub(m2, one, e);
  Mul(m2, m2, halfA);
  Sub(m1, m1, m2);    // e x1 - (1 - e) A / 2
  Pack(u, m1);
  for (Fe* f : {&fr, &t, &inv, &x1, &gx1, &e, &m1, &m2}) {
    FeWipe(*f);
  }
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
  Fe a, aa, b, bb, e, c, d, da, cb;
  int64_t swap = 0;
  for (int t = 254; t >= 0; --t) {
    const int64_t bit = (k[t >> 3] >> (t & 7)) & 1;
    swap ^= bit;
    CondSwap(x2, x3, swap);
    CondSwap(z2, z3, swap);
    swap = bit;

    Add(a, x2, z2);
    Square(aa, a);
    Sub(b, x2, z2);
    Square(bb, b);
    Sub(e, aa, bb);
    Add(c, x3, z3);
    Sub(d, x3, z3);
    Mul(da, d, a);
    Mul(cb, c, b);
    Add(x3, da, cb);
    Square(x3, x3);
    Sub(z3, da, cb);
    Square(z3, z3);
    Mul(z3, z3, x1);
    Mul(x2, aa, bb);
    Mul(z2, a24, e);
    Add(z2, z2, aa);
    Mul(z2, z2, e);
  }
  CondSwap(x2, x3, swap);
  CondSwap(z2, z3, swap);
  Invert(a, z2);
  Mul(x2, x2, a);
  Pack(out, x2);

  WipeBytes(k, sizeof k);
  swap = 0;
  for (Fe* f : {&x1, &x2, &z2, &x3, &z3, &a, &aa, &b, &bb, &e, &c, &d, &da, &cb}) {
    FeWipe(*f);
  }
}

}  // namespace kelm
