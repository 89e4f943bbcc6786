#include "core/host_identity.h"

#include <windows.h>
#include <ncrypt.h>

#include <cstring>
#include <format>
#include <vector>

#include "core/encoding.h"
#include "core/identity_key_standin.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"

namespace kelm {
namespace {
constexpr wchar_t kPlatformProvider[] = L"Microsoft Platform Crypto Provider";
constexpr wchar_t kSoftwareProvider[] = L"Microsoft Software Key Storage Provider";
// NTE_NOT_SUPPORTED: the provider cannot hold keys of this algorithm at all.
constexpr SECURITY_STATUS kNotSupported = static_cast<SECURITY_STATUS>(0x80090029);

const char* StoreLabel(bool hardware) { return hardware ? "TPM" : "software key store"; }

bool ExportPublic(NCRYPT_KEY_HANDLE key, P256PublicKey& out) {
  uint8_t blob[128] = {};
  DWORD n = 0;
  return NCryptExportKey(key, 0, BCRYPT_ECCPUBLIC_BLOB, nullptr, blob, sizeof blob, &n, 0) == ERROR_SUCCESS &&
         P256FromEccPublicBlob(std::span<const uint8_t>(blob, n), out);
}
}  // namespace

HostIdentity::HostIdentity() = default;

HostIdentity::~HostIdentity() { Close(); }

void FreeNcryptObject(uintptr_t handle) { NCryptFreeObject(static_cast<NCRYPT_HANDLE>(handle)); }

void HostIdentity::Close() {
  key_.Reset();
  standIn_.reset();
}

std::wstring HostIdentity::KeyName() {
  std::wstring name = L"tavro Host Identity";
  if (!ProfileDir().empty()) {
    const std::string folder = WideToUtf8(ProfileDir());
    const Digest32 digest = Sha256({reinterpret_cast<const uint8_t*>(folder.data()), folder.size()});
    name += L" (profile " + Utf8ToWide(HexEncode(digest).substr(0, 16)) + L")";
  }
  return name;
}

bool HostIdentity::OpenIn(const std::wstring& keyName, const IdentityProvider& provider, bool create) {
  return OpenInProvider(keyName, provider, create, nullptr);
}

bool HostIdentity::OpenInProvider(const std::wstring& keyName, const IdentityProvider& provider, bool create,
                                  long* createStatus) {
  NcryptHandle storage;
  if (NCryptOpenStorageProvider(storage.Put(), provider.name.c_str(), 0) != ERROR_SUCCESS) {
    return false;
  }
  NcryptHandle key;
  if (NCryptOpenKey(storage.Get(), key.Put(), keyName.c_str(), 0, 0) != ERROR_SUCCESS) {
    key.Release();
    if (!create) {
      return false;
    }
    const SECURITY_STATUS status =
        NCryptCreatePersistedKey(storage.Get(), key.Put(), NCRYPT_ECDSA_P256_ALGORITHM, keyName.c_str(), 0, 0);
    if (createStatus != nullptr) {
      *createStatus = status;
    }
    if (status != ERROR_SUCCESS) {
      key.Release();
      return false;
    }
    DWORD policy = 0;  // the private key can never be exported
    NCryptSetProperty(key.Get(), NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&policy), sizeof policy, 0);
    if (NCryptFinalizeKey(key.Get(), 0) != ERROR_SUCCESS) {
      // NCryptDeleteKey frees the handle as well.
      NCryptDeleteKey(key.Release(), 0);
      return false;
    }
    LogInfo("Created the PC's identity key ({})", StoreLabel(provider.hardware));
  }
  P256PublicKey publicKey{};
  if (!ExportPublic(key.Get(), publicKey)) {
    return false;
  }
  Close();
  key_ = std::move(key);
  publicKey_ = publicKey;
  hardware = provider.hardware;
  return true;
}

bool HostIdentity::Open() {
  if (IsOpen()) {
    return true;
  }
  error_.clear();
  const std::wstring name = KeyName();
  std::vector<IdentityProvider> providers;
  if (ProfileDir().empty()) {
    providers.push_back({kPlatformProvider, true});
  }
  providers.push_back({kSoftwareProvider, false});

  for (const IdentityProvider& provider : providers) {
    if (OpenInProvider(name, provider, false, nullptr)) {
      return true;
    }
  }
  long softwareCreateStatus = 0;
  for (const IdentityProvider& provider : providers) {
    long status = 0;
    if (OpenInProvider(name, provider, true, &status)) {
      return true;
    }
    if (!provider.hardware) {
      softwareCreateStatus = status;
    }
  }

  // The software key storage provider holds ECDSA P-256 keys on every Windows that
  // runs this program. Only a platform whose provider refuses the algorithm outright
  // (NTE_NOT_SUPPORTED from NCryptCreatePersistedKey, as under Wine) gets the
  // program's own key store; any other failure stays a failure, so a real Windows
  // key store that is broken or denied is never bypassed.
  if (softwareCreateStatus == ERROR_SUCCESS) {
    error_ = std::format("Windows key storage made the key \"{}\" but cannot finalize or export it", WideToUtf8(name));
  } else if (softwareCreateStatus != kNotSupported) {
    error_ = std::format("Windows key storage cannot create the key \"{}\": {}", WideToUtf8(name),
                         ErrorText(static_cast<uint32_t>(softwareCreateStatus)));
  } else {
    bool created = false;
    if (std::unique_ptr<IdentityKeyStandIn> standIn = IdentityKeyStandIn::OpenOrCreate(name, created, error_)) {
      if (created) {
        LogInfo("Created the PC's identity key ({})", StoreLabel(false));
      }
      LogWarn("The PC's identity key is protected by file permissions only (Windows key storage cannot keep it here)");
      Close();
      publicKey_ = standIn->PublicKey();
      standIn_ = std::move(standIn);
      hardware = false;
      return true;
    }
  }
  return false;
}

bool HostIdentity::Sign(std::span<const uint8_t, 32> hash, std::span<uint8_t, 64> out) const {
  if (standIn_ != nullptr) {
    return standIn_->Sign(hash, out);
  }
  if (!key_) {
    return false;
  }
  DWORD n = 0;
  return NCryptSignHash(static_cast<NCRYPT_KEY_HANDLE>(key_.Get()), nullptr, const_cast<PBYTE>(hash.data()), 32,
                        out.data(), 64, &n, 0) == ERROR_SUCCESS &&
         n == 64;
}

}  // namespace kelm
