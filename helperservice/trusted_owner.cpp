// The trusted-owner test, read through the object's own handle.
#include "trusted_owner.h"

#include <aclapi.h>

#include "own_user_owner_standin.h"

namespace kelm::service {

bool IsTrustedOwner(PSID owner) {
  if (owner == nullptr || !IsValidSid(owner)) return false;
  return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(owner, WinLocalServiceSid) || OwnUserOwnerStandIn::Matches(owner);
}

bool OwnerOfHandle(HANDLE h, bool& trusted) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &sd) != ERROR_SUCCESS) {
    return false;
  }
  trusted = IsTrustedOwner(owner);
  LocalFree(sd);
  return true;
}

}  // namespace kelm::service
