#include "core/identity_key_standin.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstring>
#include <format>
#include <vector>

#include "core/dpapi.h"
#include "core/encoding.h"
#include "core/log.h"
#include "core/durable_file.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/win_handle.h"

namespace kelm {
namespace {
constexpr size_t kPrivateBlobBytes = 8 + 3 * 32;  // magic, key length, X, Y, d

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& out, bool& exists) {
  const WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    return false;
  }
  exists = true;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > 0x10000) {
    return false;
  }
  out.resize(static_cast<size_t>(size.QuadPart));
  DWORD n = 0;
  return out.empty() || (ReadFile(file.Get(), out.data(), static_cast<DWORD>(out.size()), &n, nullptr) && n == out.size());
}

}  // namespace

std::wstring IdentityKeyStandIn::FilePath(const std::wstring& keyName) {
  const std::string utf8 = WideToUtf8(keyName);
  const Digest32 digest = Sha256({reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()});
  return LocalDataDir() + L"\\identity-" + Utf8ToWide(HexEncode(std::span(digest.data(), 8))) + L".key";
}

std::unique_ptr<IdentityKeyStandIn> IdentityKeyStandIn::Load(const std::wstring& path, bool& fileExists) {
  std::vector<uint8_t> sealed;
  if (!ReadWholeFile(path, sealed, fileExists)) {
    return nullptr;
  }
  std::optional<std::vector<uint8_t>> blob = DpapiUnprotect(sealed);
  if (!blob) {
    return nullptr;
  }
  std::unique_ptr<IdentityKeyStandIn> key;
  uint32_t magic = 0, keyLength = 0;
  if (blob->size() == kPrivateBlobBytes) {
    std::memcpy(&magic, blob->data(), 4);
    std::memcpy(&keyLength, blob->data() + 4, 4);
  }
  if (magic == cng::kEcdsaPrivateP256Magic && keyLength == 32) {
    key = std::make_unique<IdentityKeyStandIn>(Token{});
    if (BCryptImportKeyPair(cng::EcdsaP256Alg(), nullptr, BCRYPT_ECCPRIVATE_BLOB, key->key_.Put(), blob->data(),
                            static_cast<ULONG>(blob->size()), 0) < 0) {
      key.reset();
    } else {
      key->publicKey_[0] = 0x04;
      std::memcpy(key->publicKey_.data() + 1, blob->data() + 8, 64);
    }
  }
  WipeBytes(blob->data(), blob->size());
  // The stored public half must belong to the private half: a damaged file must not
  // yield a key that signs for some other public key.
  if (key != nullptr) {
    const Digest32 probe = Sha256(std::span(key->publicKey_));
    std::array<uint8_t, 64> signature{};
    if (!key->Sign(probe, signature) || !EcdsaP256Verify(key->publicKey_, probe, signature)) {
      key.reset();
    }
  }
  return key;
}

std::unique_ptr<IdentityKeyStandIn> IdentityKeyStandIn::OpenOrCreate(const std::wstring& keyName, bool& created) {
  created = false;
  const std::wstring path = FilePath(keyName);
  bool exists = false;
  if (std::unique_ptr<IdentityKeyStandIn> key = Load(path, exists)) {
    return key;
  }
  if (exists) {
    // A key that was made once must not silently become another key: the paired
    // devices know this PC by it.
    LogWarn("The identity key file {} cannot be read", WideToUtf8(path));
    return nullptr;
  }

  cng::KeyHandle fresh;
  if (BCryptGenerateKeyPair(cng::EcdsaP256Alg(), fresh.Put(), 256, 0) < 0 ||
      BCryptFinalizeKeyPair(fresh.Get(), 0) < 0) {
    return nullptr;
  }
  uint8_t blob[kPrivateBlobBytes + 32] = {};
  ULONG n = 0;
  const bool exported = BCryptExportKey(fresh.Get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &n, 0) >= 0 &&
                        n == kPrivateBlobBytes;
  std::optional<std::vector<uint8_t>> sealed;
  if (exported) {
    sealed = DpapiProtect(std::span(blob, n));
  }
  WipeBytes(blob, sizeof blob);
  if (!sealed) {
    return nullptr;
  }

  // Written beside the final name, then moved into place without replacing: when
  // two processes race, the first key stored is the one both use. Only this user
  // may open the file (or its temporary): besides DPAPI, its permissions are all
  // that guards the key.
  DurableWriteOptions options;
  options.ownerOnly = true;
  options.replaceExisting = false;
  options.temporarySuffix = std::format(L".{}.tmp", GetCurrentProcessId());
  uint32_t error = 0;
  const std::string_view bytes(reinterpret_cast<const char*>(sealed->data()), sealed->size());
  const DurableWrite written = WriteFileDurably(path, bytes, error, options);
  if (written == DurableWrite::TemporaryFailed) {
    return nullptr;
  }
  if (written == DurableWrite::MoveFailed) {
    return Load(path, exists);
  }
  std::unique_ptr<IdentityKeyStandIn> key = Load(path, exists);
  created = key != nullptr;
  return key;
}

bool IdentityKeyStandIn::Sign(std::span<const uint8_t, 32> hash, std::span<uint8_t, 64> out) const {
  ULONG n = 0;
  return BCryptSignHash(key_.Get(), nullptr, const_cast<PUCHAR>(hash.data()), 32, out.data(), 64, &n, 0) >= 0 &&
         n == 64;
}

}  // namespace kelm
