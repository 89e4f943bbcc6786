#include "support/p256_reference.h"

namespace kelm::test {
namespace {

using u128 = unsigned __int128;

struct U256 {
  uint64_t w[4] = {0, 0, 0, 0};  // little-endian words
};

U256 FromBytes(const uint8_t* be) {
  U256 r;
  for (int i = 0; i < 32; ++i) {
    r.w[3 - i / 8] = (r.w[3 - i / 8] << 8) | be[i];
  }
  return r;
}

void ToBytes(const U256& a, uint8_t* be) {
  for (int i = 0; i < 32; ++i) {
    be[i] = static_cast<uint8_t>(a.w[3 - i / 8] >> (56 - 8 * (i % 8)));
  }
}

U256 Hex(const char* text) {
  U256 r;
  for (int i = 0; i < 64; ++i) {
    const char c = text[i];
    const uint64_t v = c <= '9' ? c - '0' : c - 'a' + 10;
    r.w[3 - i / 16] |= v << (4 * (15 - i % 16));
  }
  return r;
}

int Cmp(const U256& a, const U256& b) {
  for (int i = 3; i >= 0; --i) {
    if (a.w[i] != b.w[i]) return a.w[i] < b.w[i] ? -1 : 1;
  }
  return 0;
}

bool IsZero(const U256& a) { return (a.w[0] | a.w[1] | a.w[2] | a.w[3]) == 0; }

// a + b, returning the carry out.
uint64_t AddRaw(U256& r, const U256& a, const U256& b) {
  u128 c = 0;
  for (int i = 0; i < 4; ++i) {
    c += static_cast<u128>(a.w[i]) + b.w[i];
    r.w[i] = static_cast<uint64_t>(c);
    c >>= 64;
  }
  return static_cast<uint64_t>(c);
}

// a - b, returning the borrow out.
uint64_t SubRaw(U256& r, const U256& a, const U256& b) {
  uint64_t borrow = 0;
  for (int i = 0; i < 4; ++i) {
    const u128 d = static_cast<u128>(a.w[i]) - b.w[i] - borrow;
    r.w[i] = static_cast<uint64_t>(d);
    borrow = static_cast<uint64_t>(d >> 64) & 1;
  }
  return borrow;
}

U256 AddMod(const U256& a, const U256& b, const U256& m) {
  U256 r;
  const uint64_t carry = AddRaw(r, a, b);
  if (carry != 0 || Cmp(r, m) >= 0) SubRaw(r, r, m);
  return r;
}

U256 SubMod(const U256& a, const U256& b, const U256& m) {
  U256 r;
  if (SubRaw(r, a, b) != 0) AddRaw(r, r, m);
  return r;
}

U256 MulMod(const U256& a, const U256& b, const U256& m) {
  U256 r;
  for (int bit = 255; bit >= 0; --bit) {
    r = AddMod(r, r, m);
    if ((b.w[bit / 64] >> (bit % 64)) & 1) r = AddMod(r, a, m);
  }
  return r;
}

U256 Reduce(const U256& a, const U256& m) {
  U256 r = a;
  while (Cmp(r, m) >= 0) SubRaw(r, r, m);
  return r;
}

// Halves x modulo odd m.
U256 HalfMod(const U256& x, const U256& m) {
  U256 r = x;
  uint64_t top = 0;
  if (r.w[0] & 1) top = AddRaw(r, r, m);
  for (int i = 0; i < 4; ++i) {
    const uint64_t next = i < 3 ? r.w[i + 1] : top;
    r.w[i] = (r.w[i] >> 1) | (next << 63);
  }
  return r;
}

void ShiftRight1(U256& a) {
  for (int i = 0; i < 4; ++i) {
    a.w[i] = (a.w[i] >> 1) | (i < 3 ? a.w[i + 1] << 63 : 0);
  }
}

// Inverse modulo odd prime m by the binary extended Euclidean algorithm; a != 0.
U256 InvMod(const U256& a, const U256& m) {
  U256 u = Reduce(a, m), v = m, x1, x2;
  x1.w[0] = 1;
  const U256 one = x1;
  while (Cmp(u, one) != 0 && Cmp(v, one) != 0) {
    while ((u.w[0] & 1) == 0) {
      ShiftRight1(u);
      x1 = HalfMod(x1, m);
    }
    while ((v.w[0] & 1) == 0) {
      ShiftRight1(v);
      x2 = HalfMod(x2, m);
    }
    if (Cmp(u, v) >= 0) {
      SubRaw(u, u, v);
      x1 = SubMod(x1, x2, m);
    } else {
      SubRaw(v, v, u);
      x2 = SubMod(x2, x1, m);
    }
  }
  return Cmp(u, one) == 0 ? x1 : x2;
}

const U256 kP = Hex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
const U256 kN = Hex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
const U256 kB = Hex("5ac635d8aa3a93e7b3ebbd55769886bc651d06b0cc53b0f63bce3c3e27d2604b");
const U256 kGx = Hex("6b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296");
const U256 kGy = Hex("4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5");

struct Point {
  U256 x, y;
  bool infinity = true;
};

U256 Small(uint64_t v) {
  U256 r;
  r.w[0] = v;
  return r;
}

Point Add(const Point& a, const Point& b) {
  if (a.infinity) return b;
  if (b.infinity) return a;
  U256 lambda;
  if (Cmp(a.x, b.x) == 0) {
    if (IsZero(AddMod(a.y, b.y, kP))) return Point{};
    // Doubling with a = -3: (3 x^2 - 3) / (2 y).
    const U256 num = SubMod(MulMod(Small(3), MulMod(a.x, a.x, kP), kP), Small(3), kP);
    lambda = MulMod(num, InvMod(AddMod(a.y, a.y, kP), kP), kP);
  } else {
    lambda = MulMod(SubMod(b.y, a.y, kP), InvMod(SubMod(b.x, a.x, kP), kP), kP);
  }
  Point r;
  r.infinity = false;
  r.x = SubMod(SubMod(MulMod(lambda, lambda, kP), a.x, kP), b.x, kP);
  r.y = SubMod(MulMod(lambda, SubMod(a.x, r.x, kP), kP), a.y, kP);
  return r;
}

Point Multiply(const U256& k, const Point& p) {
  Point r;
  for (int bit = 255; bit >= 0; --bit) {
    r = Add(r, r);
    if ((k.w[bit / 64] >> (bit % 64)) & 1) r = Add(r, p);
  }
  return r;
}

std::optional<Point> Decode(std::span<const uint8_t, 65> key) {
  if (key[0] != 0x04) return std::nullopt;
  Point p;
  p.infinity = false;
  p.x = FromBytes(key.data() + 1);
  p.y = FromBytes(key.data() + 33);
  if (Cmp(p.x, kP) >= 0 || Cmp(p.y, kP) >= 0) return std::nullopt;
  // y^2 = x^3 - 3x + b
  const U256 lhs = MulMod(p.y, p.y, kP);
  U256 rhs = MulMod(MulMod(p.x, p.x, kP), p.x, kP);
  rhs = SubMod(rhs, MulMod(Small(3), p.x, kP), kP);
  rhs = AddMod(rhs, kB, kP);
  if (Cmp(lhs, rhs) != 0) return std::nullopt;
  return p;
}

Point Generator() {
  Point g;
  g.infinity = false;
  g.x = kGx;
  g.y = kGy;
  return g;
}

}  // namespace

std::optional<std::array<uint8_t, 32>> P256SharedX(std::span<const uint8_t, 32> scalar,
                                                   std::span<const uint8_t, 65> peer) {
  const std::optional<Point> q = Decode(peer);
  if (!q) return std::nullopt;
  const Point s = Multiply(FromBytes(scalar.data()), *q);
  if (s.infinity) return std::nullopt;
  std::array<uint8_t, 32> out;
  ToBytes(s.x, out.data());
  return out;
}

std::array<uint8_t, 65> P256PublicFromScalar(std::span<const uint8_t, 32> scalar) {
  const Point q = Multiply(FromBytes(scalar.data()), Generator());
  std::array<uint8_t, 65> out{};
  out[0] = 0x04;
  ToBytes(q.x, out.data() + 1);
  ToBytes(q.y, out.data() + 33);
  return out;
}

bool P256Verify(std::span<const uint8_t, 65> publicKey, std::span<const uint8_t, 32> hash,
                std::span<const uint8_t, 64> signature) {
  const std::optional<Point> q = Decode(publicKey);
  if (!q) return false;
  const U256 r = FromBytes(signature.data());
  const U256 s = FromBytes(signature.data() + 32);
  if (IsZero(r) || IsZero(s) || Cmp(r, kN) >= 0 || Cmp(s, kN) >= 0) return false;
  const U256 e = Reduce(FromBytes(hash.data()), kN);
  const U256 w = InvMod(s, kN);
  const Point x = Add(Multiply(MulMod(e, w, kN), Generator()), Multiply(MulMod(r, w, kN), *q));
  if (x.infinity) return false;
  return Cmp(Reduce(x.x, kN), r) == 0;
}

}  // namespace kelm::test
