// The hashing, randomness and wiping the portable code calls, over OpenSSL, for the
// native sanitizer build (the Windows build uses CNG for the same declarations).
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

#include "core/crypto.h"

namespace kelm {
namespace {

template <size_t N>
std::array<uint8_t, N> Digest(const EVP_MD* md, ByteRanges parts) {
  std::array<uint8_t, N> out{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx && EVP_DigestInit_ex(ctx, md, nullptr) == 1;
  for (const ByteRange& part : parts) {
    if (ok && !part.empty()) ok = EVP_DigestUpdate(ctx, part.data(), part.size()) == 1;
  }
  unsigned int n = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, out.data(), &n) == 1 && n == N;
  EVP_MD_CTX_free(ctx);
  if (!ok) throw std::runtime_error("digest failed");
  return out;
}

Digest32 Hmac(ByteRange key, ByteRanges parts) {
  std::vector<uint8_t> joined;
  for (const ByteRange& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  Digest32 out{};
  unsigned int n = 0;
  if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), joined.data(), joined.size(), out.data(), &n) ||
      n != out.size()) {
    throw std::runtime_error("HMAC failed");
  }
  return out;
}

}  // namespace

Digest32 Sha256(ByteRange data) {
  const ByteRange parts[] = {data};
  return Digest<32>(EVP_sha256(), parts);
}
Digest64 Sha512Parts(ByteRanges parts) { return Digest<64>(EVP_sha512(), parts); }
Digest64 Sha512Parts(std::initializer_list<ByteRange> parts) {
  return Sha512Parts(ByteRanges(parts.begin(), parts.size()));
}
Digest32 HmacSha256(ByteRange key, ByteRange data) {
  const ByteRange parts[] = {data};
  return Hmac(key, parts);
}
Digest32 HmacSha256Parts(ByteRange key, ByteRanges parts) { return Hmac(key, parts); }
Digest32 HmacSha256Parts(ByteRange key, std::initializer_list<ByteRange> parts) {
  return Hmac(key, ByteRanges(parts.begin(), parts.size()));
}

bool HmacSha1(ByteRange key, ByteRange data, std::span<uint8_t, 20> mac) {
  unsigned int length = 0;
  return HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), data.data(), data.size(), mac.data(), &length) !=
             nullptr &&
         length == mac.size();
}

bool RandomBytes(uint8_t* buffer, size_t count) { return RAND_bytes(buffer, static_cast<int>(count)) == 1; }

void WipeBytes(void* buffer, size_t count) { OPENSSL_cleanse(buffer, count); }

bool ConstantTimeEqual(const void* a, const void* b, size_t count) {
  return count == 0 || CRYPTO_memcmp(a, b, count) == 0;
}

}  // namespace kelm
