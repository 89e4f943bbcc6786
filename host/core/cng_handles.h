#pragma once
// CNG's predefined algorithm pseudo-handles (Windows 10 and later). The mingw-w64
// headers do not declare them; the values are the documented constants.
#include <windows.h>
#include <bcrypt.h>

#include "core/unique_any.h"

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
using KeyHandle = UniqueAny<BCRYPT_KEY_HANDLE, &BCryptDestroyKey>;
using SecretHandle = UniqueAny<BCRYPT_SECRET_HANDLE, &BCryptDestroySecret>;
using HashHandle = UniqueAny<BCRYPT_HASH_HANDLE, &BCryptDestroyHash>;

}  // namespace kelm::cng
