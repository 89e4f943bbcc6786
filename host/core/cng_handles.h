#pragma once
// CNG's predefined algorithm pseudo-handles (Windows 10 and later). The mingw-w64
// headers do not declare them; the values are the documented constants.
#include <windows.h>
#include <bcrypt.h>

namespace kelm::cng {

inline BCRYPT_ALG_HANDLE PseudoHandle(uintptr_t value) { return reinterpret_cast<BCRYPT_ALG_HANDLE>(value); }

inline BCRYPT_ALG_HANDLE Sha256Alg() { return PseudoHandle(0x41); }
inline BCRYPT_ALG_HANDLE Sha512Alg() { return PseudoHandle(0x61); }
inline BCRYPT_ALG_HANDLE HmacSha1Alg() { return PseudoHandle(0xA1); }
inline BCRYPT_ALG_HANDLE HmacSha256Alg() { return PseudoHandle(0xB1); }
inline BCRYPT_ALG_HANDLE AesGcmAlg() { return PseudoHandle(0x1E1); }
inline BCRYPT_ALG_HANDLE EcdhP256Alg() { return PseudoHandle(0x2A1); }
inline BCRYPT_ALG_HANDLE EcdsaP256Alg() { return PseudoHandle(0x2E1); }

inline constexpr ULONG kEcdhPublicP256Magic = 0x314B4345;   // "ECK1"
inline constexpr ULONG kEcdsaPublicP256Magic = 0x31534345;  // "ECS1"
inline constexpr ULONG kEcdsaPrivateP256Magic = 0x32534345; // "ECS2"

// Owners that release CNG objects on every path; a zero handle is left alone.
class KeyHandle {
 public:
  KeyHandle() = default;
  explicit KeyHandle(BCRYPT_KEY_HANDLE h) : h_(h) {}
  ~KeyHandle() { Reset(); }
  KeyHandle(KeyHandle&& other) noexcept : h_(other.Release()) {}
  KeyHandle& operator=(KeyHandle&& other) noexcept {
    if (this != &other) {
      Reset(other.Release());
    }
    return *this;
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;

  BCRYPT_KEY_HANDLE Get() const { return h_; }
  BCRYPT_KEY_HANDLE* Put() {
    Reset();
    return &h_;
  }
  BCRYPT_KEY_HANDLE Release() {
    BCRYPT_KEY_HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset(BCRYPT_KEY_HANDLE h = nullptr) {
    if (h_ != nullptr) {
      BCryptDestroyKey(h_);
    }
    h_ = h;
  }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  BCRYPT_KEY_HANDLE h_ = nullptr;
};

class SecretHandle {
 public:
  SecretHandle() = default;
  ~SecretHandle() {
    if (h_ != nullptr) {
      BCryptDestroySecret(h_);
    }
  }
  SecretHandle(const SecretHandle&) = delete;
  SecretHandle& operator=(const SecretHandle&) = delete;
  BCRYPT_SECRET_HANDLE Get() const { return h_; }
  BCRYPT_SECRET_HANDLE* Put() { return &h_; }

 private:
  BCRYPT_SECRET_HANDLE h_ = nullptr;
};

class HashHandle {
 public:
  HashHandle() = default;
  ~HashHandle() {
    if (h_ != nullptr) {
      BCryptDestroyHash(h_);
    }
  }
  HashHandle(const HashHandle&) = delete;
  HashHandle& operator=(const HashHandle&) = delete;
  BCRYPT_HASH_HANDLE Get() const { return h_; }
  BCRYPT_HASH_HANDLE* Put() { return &h_; }

 private:
  BCRYPT_HASH_HANDLE h_ = nullptr;
};

}  // namespace kelm::cng
