// The service's own user as a trusted owner, only under Wine and only when that user
// is not LocalSystem (on Windows the service always runs as LocalSystem).
#include "own_user_owner_standin.h"

#include <vector>

#include "core/win_handle.h"

namespace kelm::service {
namespace {

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The token user's SID when the stand-in applies, else empty.
std::vector<unsigned char> StandInUser() {
  if (!RunningUnderWine()) return {};
  WinHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) return {};
  DWORD bytes = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &bytes);
  std::vector<unsigned char> buf(bytes);
  if (bytes == 0 || !GetTokenInformation(token.Get(), TokenUser, buf.data(), bytes, &bytes)) return {};
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
  if (!IsValidSid(sid) || IsWellKnownSid(sid, WinLocalSystemSid)) return {};
  const auto* first = static_cast<const unsigned char*>(sid);
  return {first, first + GetLengthSid(sid)};
}

}  // namespace

bool OwnUserOwnerStandIn::Matches(PSID owner) {
  static const std::vector<unsigned char> user = StandInUser();
  return !user.empty() && EqualSid(owner, const_cast<unsigned char*>(user.data()));
}

}  // namespace kelm::service
