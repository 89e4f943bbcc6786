// The Elligator 2 map of the CPace generator against an independent computation with
// OpenSSL's big-number arithmetic, straight from the map's definition over
// p = 2^255 - 19 with A = 486662 and Z = 2:
//   x1 = -A / (1 + Z r^2)  (x1 = -A when the denominator is 0)
//   x  = x1 if x1^3 + A x1^2 + x1 is a square, else -x1 - A.
#include <openssl/bn.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "core/curve25519.h"
#include "fuzz_check.h"

namespace {

struct Bn {
  BIGNUM* v = BN_new();
  ~Bn() { BN_free(v); }
  Bn() = default;
  Bn(const Bn&) = delete;
  Bn& operator=(const Bn&) = delete;
};

std::array<uint8_t, 32> Reference(const std::array<uint8_t, 32>& input) {
  BN_CTX* ctx = BN_CTX_new();
  Bn p, a, z, r, one, t, den, x1, gx, x, e, two;
  BN_set_word(two.v, 2);
  BN_set_word(p.v, 1);
  BN_lshift(p.v, p.v, 255);
  BN_sub_word(p.v, 19);
  BN_set_word(a.v, 486662);
  BN_set_word(z.v, 2);
  BN_one(one.v);
  std::array<uint8_t, 32> le = input;
  le[31] &= 0x7F;  // the top bit is not part of the field element
  std::array<uint8_t, 32> be;
  std::reverse_copy(le.begin(), le.end(), be.begin());
  BN_bin2bn(be.data(), 32, r.v);
  BN_nnmod(r.v, r.v, p.v, ctx);
  // den = 1 + Z r^2
  BN_mod_sqr(t.v, r.v, p.v, ctx);
  BN_mod_mul(t.v, t.v, z.v, p.v, ctx);
  BN_mod_add(den.v, t.v, one.v, p.v, ctx);
  // x1 = -A / den, or -A when den = 0
  BN_sub(x1.v, p.v, a.v);  // -A
  if (!BN_is_zero(den.v)) {
    BN_mod_inverse(t.v, den.v, p.v, ctx);
    BN_mod_mul(x1.v, x1.v, t.v, p.v, ctx);
  }
  // gx = x1^3 + A x1^2 + x1
  BN_mod_sqr(t.v, x1.v, p.v, ctx);
  BN_mod_mul(gx.v, t.v, x1.v, p.v, ctx);
  BN_mod_mul(t.v, t.v, a.v, p.v, ctx);
  BN_mod_add(gx.v, gx.v, t.v, p.v, ctx);
  BN_mod_add(gx.v, gx.v, x1.v, p.v, ctx);
  // Euler's criterion: gx^((p-1)/2) is 0 or 1 for a square
  BN_sub(e.v, p.v, one.v);
  BN_rshift1(e.v, e.v);
  BN_mod_exp(t.v, gx.v, e.v, p.v, ctx);
  if (BN_is_zero(t.v) || BN_is_one(t.v)) {
    BN_copy(x.v, x1.v);
  } else {
    BN_mod_add(x.v, x1.v, a.v, p.v, ctx);
    BN_mod_sub(x.v, p.v, x.v, p.v, ctx);  // -x1 - A
    BN_nnmod(x.v, x.v, p.v, ctx);
  }
  std::array<uint8_t, 32> out{};
  BN_bn2lebinpad(x.v, out.data(), 32);
  BN_CTX_free(ctx);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 32) return 0;
  std::array<uint8_t, 32> r{}, u{};
  std::memcpy(r.data(), data, 32);
  kelm::Elligator2Curve25519(r, u);
  FUZZ_CHECK(u == Reference(r));
  return 0;
}
