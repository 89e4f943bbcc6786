#pragma once
// Under Wine the service runs as the ordinary user, not LocalSystem, and every file it
// makes is owned by that user: without this stand-in the service would take its own
// folder for a planted one and move it aside at every start.
#include <windows.h>

namespace kelm::service {

class OwnUserOwnerStandIn {
 public:
  // True only under Wine (ntdll exports wine_get_version), when the process token's
  // user is not LocalSystem and `owner` is that user.
  static bool Matches(PSID owner);
};

}  // namespace kelm::service
