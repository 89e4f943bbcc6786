// X25519 of our own against OpenSSL's on every input: same result, and an all-zero
// result exactly where OpenSSL refuses the low-order point.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "core/curve25519.h"
#include "fuzz_check.h"

namespace {

bool OpenSslX25519(const uint8_t* scalar, const uint8_t* u, uint8_t* out) {
  EVP_PKEY* priv = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, scalar, 32);
  EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, u, 32);
  EVP_PKEY_CTX* ctx = priv ? EVP_PKEY_CTX_new(priv, nullptr) : nullptr;
  size_t n = 32;
  const bool ok = ctx && peer && EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, peer) == 1 &&
                  EVP_PKEY_derive(ctx, out, &n) == 1 && n == 32;
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peer);
  EVP_PKEY_free(priv);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 64) return 0;
  std::array<uint8_t, 32> scalar{}, u{}, ours{}, theirs{};
  std::memcpy(scalar.data(), data, 32);
  std::memcpy(u.data(), data + 32, 32);
  kelm::X25519(ours, scalar, u);
  if (OpenSslX25519(scalar.data(), u.data(), theirs.data())) {
    FUZZ_CHECK(ours == theirs);
  } else {
    FUZZ_CHECK(std::all_of(ours.begin(), ours.end(), [](uint8_t b) { return b == 0; }));
  }
  return 0;
}
