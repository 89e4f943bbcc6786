#pragma once
// The host's cryptographic toolbox: thin wrappers over CNG through its algorithm
// pseudo-handles. No provider state is opened or kept, so every wrapper may run on
// any thread at once.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "core/unique_any.h"

namespace kelm {

using Bytes = std::vector<uint8_t>;
using ByteRange = std::span<const uint8_t>;
// Several ranges taken as their concatenation; empty ranges are skipped.
using ByteRanges = std::span<const ByteRange>;

using Digest32 = std::array<uint8_t, 32>;
using Digest64 = std::array<uint8_t, 64>;
using P256PublicKey = std::array<uint8_t, 65>;  // 0x04 || X || Y, big-endian

// Hashing. Throws std::runtime_error with the failing step's text.
// `algorithm` is a CNG algorithm (pseudo-)handle; `key` is empty for a plain hash.
Digest32 CngDigest(void* algorithm, ByteRange key, ByteRanges parts);
Digest32 Sha256(ByteRange data);
Digest32 HmacSha256(ByteRange key, ByteRange data);
Digest32 HmacSha256Parts(ByteRange key, ByteRanges parts);
Digest32 HmacSha256Parts(ByteRange key, std::initializer_list<ByteRange> parts);
Digest64 Sha512Parts(ByteRanges parts);
Digest64 Sha512Parts(std::initializer_list<ByteRange> parts);
// HMAC-SHA1, for one-time codes only; false when the provider fails.
bool HmacSha1(ByteRange key, ByteRange data, std::span<uint8_t, 20> mac);
// RFC 5869 Expand with HMAC-SHA256 (no Extract: the caller supplies the PRK).
// Empty for a length above RFC 5869's bound of 255 blocks (8160 bytes).
Bytes HkdfExpandSha256(ByteRange prk, ByteRange info, size_t length);

// BCryptDestroyKey, for owners declared without the Windows headers.
void DestroyCngKey(void* key);
using CngKey = UniqueAny<void*, &DestroyCngKey>;  // a BCRYPT_KEY_HANDLE

// An ephemeral ECDH P-256 key: the CNG key handle (owned) and its public key.
class EcdhKeyPair {
 public:
  EcdhKeyPair() = default;
  EcdhKeyPair(const EcdhKeyPair&) = delete;
  EcdhKeyPair& operator=(const EcdhKeyPair&) = delete;

  CngKey key;
  P256PublicKey publicKey{};

  void* Handle() const { return key.Get(); }
  // Takes ownership of `key`, destroying any key held before.
  void Reset(void* handle = nullptr) { key.Reset(handle); }
};

// Takes 0x04 || X || Y out of a CNG "ECCPUBLICBLOB" (at least 72 bytes, key length 32).
bool P256FromEccPublicBlob(std::span<const uint8_t> blob, P256PublicKey& out);
bool EcdhP256Generate(EcdhKeyPair& pair);
// The shared secret: the X coordinate of the shared point, big-endian.
bool EcdhP256Agree(const EcdhKeyPair& own, std::span<const uint8_t, 65> peer, std::span<uint8_t, 32> out);
// Imports a 65-byte uncompressed key into `algorithm` with the blob `magic`; the
// caller owns the returned key handle (nullptr on failure).
void* ImportP256PublicKey(void* algorithm, std::span<const uint8_t, 65> key, uint32_t magic);
bool EcdsaP256Verify(std::span<const uint8_t, 65> publicKey, std::span<const uint8_t, 32> hash,
                     std::span<const uint8_t, 64> signature);

// One AES-GCM key handle, owned.
class AesGcmKey {
 public:
  AesGcmKey() = default;
  AesGcmKey(const AesGcmKey&) = delete;
  AesGcmKey& operator=(const AesGcmKey&) = delete;

  bool SetKey(ByteRange key);
  void* Handle() const { return handle_.Get(); }

 private:
  CngKey handle_;
};

// Writes ciphertext (plaintext length) followed by the 16-byte tag into `out`.
bool AesGcmSeal(const AesGcmKey& key, std::span<const uint8_t, 12> nonce, ByteRange aad, ByteRange plaintext,
                std::span<uint8_t> out);
// `input` is ciphertext followed by the tag; writes input length - 16 bytes.
bool AesGcmOpen(const AesGcmKey& key, std::span<const uint8_t, 12> nonce, ByteRange aad, ByteRange input,
                std::span<uint8_t> out);

bool RandomBytes(uint8_t* buffer, size_t count);
// Overwrites with zeros in a way the compiler may not remove.
void WipeBytes(void* buffer, size_t count);
// Time independent of where the buffers differ; a count of 0 compares equal.
bool ConstantTimeEqual(const void* a, const void* b, size_t count);

}  // namespace kelm
