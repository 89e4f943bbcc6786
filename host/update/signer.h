#pragma once
// The Authenticode signer of a file, and the check that an installer is signed by the
// same signer as the running program.
#include <functional>
#include <optional>
#include <string>

namespace kelm::update {

// Replaces WinVerifyTrust's answer for a file (tests only); empty: the real answer.
using TrustAnswer = std::function<long(const std::wstring& file, long answer)>;

// The simple display name of the file's signer when WinVerifyTrust trusts the file.
std::optional<std::wstring> SignerName(const std::wstring& file, const TrustAnswer& trustAnswer = {});

// Passes when the running program has no trusted signer; otherwise the installer's
// signer must carry the same name. `error` holds the refusal.
bool CheckSameSigner(const std::wstring& installer, const std::wstring& runningProgram, std::string& error,
                     const TrustAnswer& trustAnswer = {});

}  // namespace kelm::update
