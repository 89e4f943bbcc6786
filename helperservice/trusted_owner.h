#pragma once
// Which owners the service trusts for the files and folders it keeps.
#include <windows.h>

namespace kelm::service {

// LocalSystem, the Administrators group or LocalService; under Wine also the
// service's own user (OwnUserOwnerStandIn).
bool IsTrustedOwner(PSID owner);

// Reads the owner of the object behind `h` (opened with READ_CONTROL); false when it
// cannot be read. `trusted` tells whether it is a trusted owner.
bool OwnerOfHandle(HANDLE h, bool& trusted);

}  // namespace kelm::service
