#include "core/crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>

#include "core/cng_handles.h"

namespace kelm {
namespace {

bool Ok(NTSTATUS status) { return status >= 0; }

PUCHAR Mutable(const uint8_t* p) { return const_cast<PUCHAR>(p); }

// Hashes the ranges into `out` (whose size is the algorithm's digest size).
void DigestInto(BCRYPT_ALG_HANDLE algorithm, ByteRange key, ByteRanges parts, std::span<uint8_t> out) {
  cng::HashHandle hash;
  if (!Ok(BCryptCreateHash(algorithm, hash.Put(), nullptr, 0, key.empty() ? nullptr : Mutable(key.data()),
                           static_cast<ULONG>(key.size()), 0))) {
    throw std::runtime_error("BCryptCreateHash failed");
  }
  for (const ByteRange part : parts) {
    if (part.empty()) {
      continue;
    }
    if (!Ok(BCryptHashData(hash.Get(), Mutable(part.data()), static_cast<ULONG>(part.size()), 0))) {
      throw std::runtime_error("BCryptHashData failed");
    }
  }
  if (!Ok(BCryptFinishHash(hash.Get(), out.data(), static_cast<ULONG>(out.size()), 0))) {
    throw std::runtime_error("BCryptFinishHash failed");
  }
}

}  // namespace

Digest32 CngDigest(void* algorithm, ByteRange key, ByteRanges parts) {
  Digest32 out{};
  DigestInto(static_cast<BCRYPT_ALG_HANDLE>(algorithm), key, parts, out);
  return out;
}

Digest32 Sha256(ByteRange data) {
  const ByteRange parts[] = {data};
  return CngDigest(cng::Sha256Alg(), {}, parts);
}

Digest32 HmacSha256(ByteRange key, ByteRange data) {
  const ByteRange parts[] = {data};
  return CngDigest(cng::HmacSha256Alg(), key, parts);
}

Digest32 HmacSha256Parts(ByteRange key, ByteRanges parts) { return CngDigest(cng::HmacSha256Alg(), key, parts); }

Digest32 HmacSha256Parts(ByteRange key, std::initializer_list<ByteRange> parts) {
  return HmacSha256Parts(key, ByteRanges(parts.begin(), parts.size()));
}

bool HmacSha1(ByteRange key, ByteRange data, std::span<uint8_t, 20> mac) {
  return Ok(BCryptHash(cng::HmacSha1Alg(), Mutable(key.data()), static_cast<ULONG>(key.size()), Mutable(data.data()),
                       static_cast<ULONG>(data.size()), mac.data(), static_cast<ULONG>(mac.size())));
}

Digest64 Sha512Parts(ByteRanges parts) {
  Digest64 out{};
  DigestInto(cng::Sha512Alg(), {}, parts, out);
  return out;
}

Digest64 Sha512Parts(std::initializer_list<ByteRange> parts) {
  return Sha512Parts(ByteRanges(parts.begin(), parts.size()));
}

Bytes HkdfExpandSha256(ByteRange prk, ByteRange info, size_t length) {
  // The block counter is one byte: RFC 5869 allows at most 255 blocks.
  if (length > 255 * 32) {
    return {};
  }
  Bytes out;
  out.reserve(length + 32);
  Digest32 block{};
  size_t blockLength = 0;  // T(0) is empty
  for (uint32_t i = 1; out.size() < length; ++i) {
    const uint8_t counter = static_cast<uint8_t>(i);
    block = HmacSha256Parts(prk, {ByteRange(block.data(), blockLength), info, ByteRange(&counter, 1)});
    blockLength = block.size();
    out.insert(out.end(), block.begin(), block.end());
  }
  out.resize(length);
  WipeBytes(block.data(), block.size());
  return out;
}

// --- ECDH / ECDSA ---------------------------------------------------------------

void DestroyCngKey(void* key) { BCryptDestroyKey(static_cast<BCRYPT_KEY_HANDLE>(key)); }

namespace {
// Reads a key's public half as 0x04 || X || Y from its "ECCPUBLICBLOB".
bool ExportP256Public(BCRYPT_KEY_HANDLE key, P256PublicKey& out) {
  uint8_t blob[128] = {};
  ULONG n = 0;
  return Ok(BCryptExportKey(key, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &n, 0)) &&
         P256FromEccPublicBlob(std::span<const uint8_t>(blob, n), out);
}
}  // namespace

bool P256FromEccPublicBlob(std::span<const uint8_t> blob, P256PublicKey& out) {
  if (blob.size() < 72) {
    return false;
  }
  uint32_t keyLength = 0;
  std::memcpy(&keyLength, blob.data() + 4, 4);
  if (keyLength != 32) {
    return false;
  }
  out[0] = 0x04;
  std::memcpy(out.data() + 1, blob.data() + 8, 64);
  return true;
}

bool EcdhP256Generate(EcdhKeyPair& pair) {
  cng::KeyHandle key;
  if (!Ok(BCryptGenerateKeyPair(cng::EcdhP256Alg(), key.Put(), 256, 0)) ||
      !Ok(BCryptFinalizeKeyPair(key.Get(), 0))) {
    return false;
  }
  P256PublicKey publicKey{};
  if (!ExportP256Public(key.Get(), publicKey)) {
    return false;
  }
  pair.Reset(key.Release());
  pair.publicKey = publicKey;
  return true;
}

void* ImportP256PublicKey(void* algorithm, std::span<const uint8_t, 65> key, uint32_t magic) {
  if (key[0] != 0x04) {
    return nullptr;
  }
  uint8_t blob[72];
  const uint32_t keyLength = 32;
  std::memcpy(blob, &magic, 4);
  std::memcpy(blob + 4, &keyLength, 4);
  std::memcpy(blob + 8, key.data() + 1, 64);
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!Ok(BCryptImportKeyPair(static_cast<BCRYPT_ALG_HANDLE>(algorithm), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle,
                              blob, sizeof blob, 0))) {
    return nullptr;
  }
  return handle;
}

bool EcdhP256Agree(const EcdhKeyPair& own, std::span<const uint8_t, 65> peer, std::span<uint8_t, 32> out) {
  if (own.Handle() == nullptr) {
    return false;
  }
  cng::KeyHandle peerKey(ImportP256PublicKey(cng::EcdhP256Alg(), peer, cng::kEcdhPublicP256Magic));
  if (!peerKey) {
    return false;
  }
  cng::SecretHandle secret;
  if (!Ok(BCryptSecretAgreement(static_cast<BCRYPT_KEY_HANDLE>(own.Handle()), peerKey.Get(), secret.Put(), 0))) {
    return false;
  }
  ULONG n = 0;
  if (!Ok(BCryptDeriveKey(secret.Get(), L"TRUNCATE", nullptr, out.data(), 32, &n, 0)) ||
      n != 32) {
    WipeBytes(out.data(), out.size());
    return false;
  }
  // CNG hands the raw secret out little-endian; other implementations (and the
  // device) use the big-endian X coordinate.
  std::reverse(out.begin(), out.end());
  return true;
}

bool EcdsaP256Verify(std::span<const uint8_t, 65> publicKey, std::span<const uint8_t, 32> hash,
                     std::span<const uint8_t, 64> signature) {
  cng::KeyHandle key(ImportP256PublicKey(cng::EcdsaP256Alg(), publicKey, cng::kEcdsaPublicP256Magic));
  if (!key) {
    return false;
  }
  return Ok(BCryptVerifySignature(key.Get(), nullptr, Mutable(hash.data()), 32, Mutable(signature.data()), 64, 0));
}

// --- AES-GCM --------------------------------------------------------------------

bool AesGcmKey::SetKey(ByteRange key) {
  handle_.Reset();
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (!Ok(BCryptGenerateSymmetricKey(cng::AesGcmAlg(), &handle, nullptr, 0, Mutable(key.data()),
                                     static_cast<ULONG>(key.size()), 0))) {
    return false;
  }
  handle_.Reset(handle);
  return true;
}

namespace {
constexpr size_t kTagBytes = 16;

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO GcmInfo(std::span<const uint8_t, 12> nonce, ByteRange aad, uint8_t* tag) {
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  std::memset(&info, 0, sizeof info);
  info.cbSize = sizeof info;
  info.dwInfoVersion = BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO_VERSION;
  info.pbNonce = Mutable(nonce.data());
  info.cbNonce = 12;
  info.pbAuthData = aad.empty() ? nullptr : Mutable(aad.data());
  info.cbAuthData = static_cast<ULONG>(aad.size());
  info.pbTag = tag;
  info.cbTag = kTagBytes;
  return info;
}
}  // namespace

bool AesGcmSeal(const AesGcmKey& key, std::span<const uint8_t, 12> nonce, ByteRange aad, ByteRange plaintext,
                std::span<uint8_t> out) {
  if (key.Handle() == nullptr || plaintext.size() >= 0x7FFFFFF1 || out.size() < plaintext.size() + kTagBytes) {
    return false;
  }
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce, aad, out.data() + plaintext.size());
  ULONG n = 0;
  const NTSTATUS status =
      BCryptEncrypt(static_cast<BCRYPT_KEY_HANDLE>(key.Handle()), Mutable(plaintext.data()),
                    static_cast<ULONG>(plaintext.size()), &info, nullptr, 0, out.data(),
                    static_cast<ULONG>(plaintext.size()), &n, 0);
  return Ok(status) && n == plaintext.size();
}

bool AesGcmOpen(const AesGcmKey& key, std::span<const uint8_t, 12> nonce, ByteRange aad, ByteRange input,
                std::span<uint8_t> out) {
  if (key.Handle() == nullptr || input.size() < kTagBytes) {
    return false;
  }
  const size_t length = input.size() - kTagBytes;
  if (length >= 0x7FFFFFE1 || out.size() < length) {
    return false;
  }
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = GcmInfo(nonce, aad, Mutable(input.data() + length));
  ULONG n = 0;
  const NTSTATUS status = BCryptDecrypt(static_cast<BCRYPT_KEY_HANDLE>(key.Handle()), Mutable(input.data()),
                                        static_cast<ULONG>(length), &info, nullptr, 0, out.data(),
                                        static_cast<ULONG>(length), &n, 0);
  return Ok(status) && n == length;
}

// --- Random numbers and memory --------------------------------------------------

bool RandomBytes(uint8_t* buffer, size_t count) {
  while (count > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<size_t>(count, 0x40000000));
    if (!Ok(BCryptGenRandom(nullptr, buffer, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      return false;
    }
    buffer += chunk;
    count -= chunk;
  }
  return true;
}

void WipeBytes(void* buffer, size_t count) {
  if (count == 0) {
    return;
  }
  // Volatile stores cannot be dropped as dead, even right before a free.
  volatile uint8_t* p = static_cast<volatile uint8_t*>(buffer);
  for (size_t i = 0; i < count; ++i) {
    p[i] = 0;
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

bool ConstantTimeEqual(const void* a, const void* b, size_t count) {
  const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
  const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) {
    sum |= static_cast<uint8_t>(x[i] ^ y[i]);
  }
  return sum == 0;
}

}  // namespace kelm
