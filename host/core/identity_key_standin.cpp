#include "core/identity_key_standin.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstring>
#include <format>
#include <vector>

#include "core/dpapi.h"
#include "core/encoding.h"
#include "core/durable_file.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/win_handle.h"

namespace kelm {
namespace {
constexpr size_t kPrivateBlobBytes = 8 + 3 * 32;  // magic, key length, X, Y, d
constexpr LONGLONG kMaxFileBytes = 0x10000;

// ERROR_SUCCESS, or why the file could not be read; `exists` tells whether there is
// something at `path` at all.
DWORD ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& out, bool& exists) {
  const WinHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    return error;
  }
  exists = true;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) {
    return GetLastError();
  }
  if (size.QuadPart > kMaxFileBytes) {
    return ERROR_FILE_TOO_LARGE;
  }
  out.resize(static_cast<size_t>(size.QuadPart));
  DWORD n = 0;
  if (!out.empty() && !ReadFile(file.Get(), out.data(), static_cast<DWORD>(out.size()), &n, nullptr)) {
    return GetLastError();
  }
  return out.empty() || n == out.size() ? ERROR_SUCCESS : ERROR_HANDLE_EOF;
}

std::string FileText(const std::wstring& path) { return "the identity key file \"" + WideToUtf8(path) + "\""; }

}  // namespace

std::wstring IdentityKeyStandIn::FilePath(const std::wstring& keyName) {
  const std::string utf8 = WideToUtf8(keyName);
  const Digest32 digest = Sha256({reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()});
  return LocalDataDir() + L"\\identity-" + Utf8ToWide(HexEncode(std::span(digest.data(), 8))) + L".key";
}

std::unique_ptr<IdentityKeyStandIn> IdentityKeyStandIn::Load(const std::wstring& path, bool& fileExists,
                                                             std::string& error) {
  std::vector<uint8_t> sealed;
  if (const DWORD read = ReadWholeFile(path, sealed, fileExists); read != ERROR_SUCCESS) {
    error = std::format("{} cannot be read: {}", FileText(path), ErrorText(read));
    return nullptr;
  }
  std::optional<std::vector<uint8_t>> blob = DpapiUnprotect(sealed);
  if (!blob) {
    error = std::format("{} cannot be unsealed for this user: {}", FileText(path), ErrorText(GetLastError()));
    return nullptr;
  }
  std::unique_ptr<IdentityKeyStandIn> key;
  uint32_t magic = 0, keyLength = 0;
  if (blob->size() == kPrivateBlobBytes) {
    std::memcpy(&magic, blob->data(), 4);
    std::memcpy(&keyLength, blob->data() + 4, 4);
  }
  if (magic != cng::kEcdsaPrivateP256Magic || keyLength != 32) {
    error = std::format("{} holds no ECDSA P-256 key", FileText(path));
  } else {
    key = std::make_unique<IdentityKeyStandIn>(Token{});
    const NTSTATUS imported = BCryptImportKeyPair(cng::EcdsaP256Alg(), nullptr, BCRYPT_ECCPRIVATE_BLOB,
                                                  key->key_.Put(), blob->data(), static_cast<ULONG>(blob->size()), 0);
    if (imported < 0) {
      error = std::format("{} holds a key that cannot be imported: {}", FileText(path),
                          ErrorText(static_cast<uint32_t>(imported)));
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
      error = std::format("{} holds a damaged key (its halves do not match)", FileText(path));
      key.reset();
    }
  }
  return key;
}

std::unique_ptr<IdentityKeyStandIn> IdentityKeyStandIn::OpenOrCreate(const std::wstring& keyName, bool& created,
                                                                     std::string& error) {
  created = false;
  error.clear();
  const std::wstring path = FilePath(keyName);
  bool exists = false;
  if (std::unique_ptr<IdentityKeyStandIn> key = Load(path, exists, error)) {
    return key;
  }
  if (exists) {
    // A key that was made once must not silently become another key: the paired
    // devices know this PC by it.
    return nullptr;
  }

  cng::KeyHandle fresh;
  NTSTATUS status = BCryptGenerateKeyPair(cng::EcdsaP256Alg(), fresh.Put(), 256, 0);
  if (status >= 0) {
    status = BCryptFinalizeKeyPair(fresh.Get(), 0);
  }
  uint8_t blob[kPrivateBlobBytes + 32] = {};
  ULONG n = 0;
  if (status >= 0) {
    status = BCryptExportKey(fresh.Get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &n, 0);
  }
  if (status < 0 || n != kPrivateBlobBytes) {
    WipeBytes(blob, sizeof blob);
    error = std::format("a new key for {} could not be made: {}", FileText(path),
                        ErrorText(static_cast<uint32_t>(status)));
    return nullptr;
  }
  std::optional<std::vector<uint8_t>> sealed = DpapiProtect(std::span(blob, n));
  const DWORD sealError = GetLastError();
  WipeBytes(blob, sizeof blob);
  if (!sealed) {
    error = std::format("a new key for {} cannot be sealed for this user: {}", FileText(path), ErrorText(sealError));
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
  uint32_t written = 0;
  const std::string_view bytes(reinterpret_cast<const char*>(sealed->data()), sealed->size());
  const DurableWrite outcome = WriteFileDurably(path, bytes, written, options);
  if (outcome == DurableWrite::TemporaryFailed) {
    error = std::format("{} cannot be created (writing \"{}\"): {}", FileText(path),
                        WideToUtf8(path + options.temporarySuffix), ErrorText(written));
    return nullptr;
  }
  std::unique_ptr<IdentityKeyStandIn> key = Load(path, exists, error);
  if (key == nullptr && outcome == DurableWrite::MoveFailed && !exists) {
    error = std::format("{} cannot be created: {}", FileText(path), ErrorText(written));
  }
  created = key != nullptr && outcome == DurableWrite::Written;
  return key;
}

bool IdentityKeyStandIn::Sign(std::span<const uint8_t, 32> hash, std::span<uint8_t, 64> out) const {
  ULONG n = 0;
  return BCryptSignHash(key_.Get(), nullptr, const_cast<PUCHAR>(hash.data()), 32, out.data(), 64, &n, 0) >= 0 &&
         n == 64;
}

}  // namespace kelm
