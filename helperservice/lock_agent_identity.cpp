// The lock agent's identity check: session first, then LocalSystem.
#include "lock_agent_identity.h"

#include <windows.h>

#include <vector>

#include "core/win_handle.h"
#include "lock_agent_parent_standin.h"

namespace kelm::service {
bool OwnTokenUserIsLocalSystem() {
  WinHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.Put())) return false;
  DWORD bytes = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &bytes);
  if (bytes == 0) return false;
  std::vector<unsigned char> buf(bytes);
  if (!GetTokenInformation(token.Get(), TokenUser, buf.data(), bytes, &bytes)) return false;
  const PSID sid = reinterpret_cast<TOKEN_USER*>(buf.data())->User.Sid;
  return IsValidSid(sid) && IsWellKnownSid(sid, WinLocalSystemSid);
}

bool LockAgentIdentityHolds(uint32_t session) {
  DWORD own = 0;
  if (session == 0 || !ProcessIdToSessionId(GetCurrentProcessId(), &own) || own != session) return false;
  return OwnTokenUserIsLocalSystem() || LockAgentParentStandIn::Matches();
}

}  // namespace kelm::service
