// Authenticode checks through WinVerifyTrust, with the trust state always closed.
#include "update/signer.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include "core/text.h"

namespace kelm::update {
namespace {

constexpr DWORD kNameChars = 256;

// One WinVerifyTrust verification whose state is closed when this ends.
class TrustCheck {
 public:
  explicit TrustCheck(const std::wstring& file) : path_(file) {
    fileInfo_.cbStruct = sizeof fileInfo_;
    fileInfo_.pcwszFilePath = path_.c_str();
    data_.cbStruct = sizeof data_;
    data_.dwUIChoice = WTD_UI_NONE;
    data_.fdwRevocationChecks = WTD_REVOKE_NONE;
    data_.dwUnionChoice = WTD_CHOICE_FILE;
    data_.pFile = &fileInfo_;
    data_.dwStateAction = WTD_STATEACTION_VERIFY;
    data_.dwProvFlags = WTD_SAFER_FLAG;
    result_ = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  ~TrustCheck() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action_, &data_);
  }
  TrustCheck(const TrustCheck&) = delete;
  TrustCheck& operator=(const TrustCheck&) = delete;

  LONG Result() const { return result_; }
  HANDLE State() const { return data_.hWVTStateData; }

 private:
  std::wstring path_;
  GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_FILE_INFO fileInfo_{};
  WINTRUST_DATA data_{};
  LONG result_ = 0;
};

}  // namespace

std::optional<std::wstring> SignerName(const std::wstring& file, const TrustAnswer& trustAnswer) {
  const TrustCheck check(file);
  const LONG answer = trustAnswer ? trustAnswer(file, check.Result()) : check.Result();
  if (answer != 0) return std::nullopt;
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(check.State());
  if (provider == nullptr) return std::nullopt;
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr) return std::nullopt;
  CRYPT_PROVIDER_CERT* cert = WTHelperGetProvCertFromChain(signer, 0);
  if (cert == nullptr || cert->pCert == nullptr) return std::nullopt;
  wchar_t name[kNameChars] = {};
  const DWORD length = CertGetNameStringW(cert->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, kNameChars);
  if (length <= 1) return std::nullopt;
  return std::wstring(name);
}

bool CheckSameSigner(const std::wstring& installer, const std::wstring& runningProgram, std::string& error,
                     const TrustAnswer& trustAnswer) {
  const auto own = SignerName(runningProgram, trustAnswer);
  if (!own) return true;
  const auto theirs = SignerName(installer, trustAnswer);
  if (!theirs) {
    error = "the update isn't signed";
    return false;
  }
  if (*theirs != *own) {
    error = "the update is signed by '" + WideToUtf8(*theirs) + "', not '" + WideToUtf8(*own) + "'";
    return false;
  }
  return true;
}

}  // namespace kelm::update
