#pragma once
// Stand-in for Windows key storage where the platform cannot persist ECDSA P-256
// keys (Wine answers NTE_NOT_SUPPORTED). It keeps the same promises for the PC's
// identity key: one key per key name, created once, kept across runs, and no way to
// read the private key back through this interface. The private key blob is stored
// DPAPI-protected (current user) in the local data folder, in a file that only the
// current user may open.
#include <memory>
#include <span>
#include <string>

#include "core/cng_handles.h"
#include "core/crypto.h"

namespace kelm {

class IdentityKeyStandIn {
 public:
  // Loads the key stored for `keyName`, or creates and stores it when there is no
  // file yet. `created` tells which happened. Nullptr on failure, with `error` naming
  // the file and the Windows error; an existing file that cannot be read is never
  // replaced.
  static std::unique_ptr<IdentityKeyStandIn> OpenOrCreate(const std::wstring& keyName, bool& created,
                                                          std::string& error);

  // The file that holds the key for `keyName`.
  static std::wstring FilePath(const std::wstring& keyName);

  // Only the class itself can name a Token, so only it makes instances.
 private:
  struct Token {
    explicit Token() = default;
  };

 public:
  explicit IdentityKeyStandIn(Token) {}

  const P256PublicKey& PublicKey() const { return publicKey_; }
  bool Sign(std::span<const uint8_t, 32> hash, std::span<uint8_t, 64> out) const;

 private:
  static std::unique_ptr<IdentityKeyStandIn> Load(const std::wstring& path, bool& fileExists, std::string& error);

  cng::KeyHandle key_;
  P256PublicKey publicKey_{};
};

}  // namespace kelm
