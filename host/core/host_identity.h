#pragma once
// The PC's long-lived ECDSA P-256 signing key, kept in the user's key storage
// (the TPM provider when there is one) and never exportable.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/crypto.h"
#include "core/unique_any.h"

namespace kelm {

class IdentityKeyStandIn;

// NCryptFreeObject, for owners declared without the NCrypt headers.
void FreeNcryptObject(uintptr_t handle);
using NcryptHandle = UniqueAny<uintptr_t, &FreeNcryptObject>;  // an NCRYPT_HANDLE

struct IdentityProvider {
  std::wstring name;
  bool hardware = false;
};

class HostIdentity {
 public:
  HostIdentity();
  ~HostIdentity();
  HostIdentity(const HostIdentity&) = delete;
  HostIdentity& operator=(const HostIdentity&) = delete;

  // "tavro Host Identity", with " (profile <16 hex>)" when a profile folder is set.
  static std::wstring KeyName();

  // Opens (or, with `create`, creates) the key `keyName` in one provider.
  bool OpenIn(const std::wstring& keyName, const IdentityProvider& provider, bool create);
  // Opens or creates the identity key, trying the providers in order. On failure
  // Error() says why, naming the key (its file for the stand-in) and the Windows error.
  bool Open();
  const std::string& Error() const { return error_; }
  // Signs a 32-byte digest; `out` receives r || s (64 bytes).
  bool Sign(std::span<const uint8_t, 32> hash, std::span<uint8_t, 64> out) const;

  bool IsOpen() const { return key_ || standIn_ != nullptr; }
  const P256PublicKey& PublicKey() const { return publicKey_; }

  bool hardware = false;  // the key lives in the TPM provider

 private:
  void Close();
  bool OpenInProvider(const std::wstring& keyName, const IdentityProvider& provider, bool create,
                      long* createStatus);

  NcryptHandle key_;
  std::unique_ptr<IdentityKeyStandIn> standIn_;
  P256PublicKey publicKey_{};
  std::string error_;
};

}  // namespace kelm
