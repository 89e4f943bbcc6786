// Builds a protected DACL with one entry: full access for the current user's SID.
#include "core/owner_only_security.h"

#include <sddl.h>

#include <string>
#include <vector>

#include "core/win_handle.h"

namespace kelm {
namespace {

// The current user's SID as text ("S-1-5-21-..."), empty on failure.
std::wstring CurrentUserSid() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
    return {};
  }
  const WinHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  if (size == 0) {
    return {};
  }
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) {
    return {};
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(user->User.Sid, &text)) {
    return {};
  }
  std::wstring sid(text);
  LocalFree(text);
  return sid;
}

}  // namespace

OwnerOnlySecurity::OwnerOnlySecurity() {
  const std::wstring sid = CurrentUserSid();
  if (sid.empty()) {
    return;
  }
  // "P": entries inherited from the parent folder do not apply; "GA": full access.
  const std::wstring sddl = L"D:P(A;;GA;;;" + sid + L")";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                            nullptr)) {
    descriptor_ = nullptr;
    return;
  }
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor_;
  attributes_.bInheritHandle = FALSE;
}

OwnerOnlySecurity::~OwnerOnlySecurity() {
  if (descriptor_ != nullptr) {
    LocalFree(descriptor_);
  }
}

}  // namespace kelm
