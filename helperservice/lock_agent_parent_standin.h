#pragma once
// Under Wine the service, and so every agent it starts, runs as the ordinary user rather
// than LocalSystem; there the agent proves where it came from by its parent process.
#include <windows.h>

namespace kelm::service {

class LockAgentParentStandIn {
 public:
  // True only under Wine, when the token user is not LocalSystem and this process's
  // parent (Toolhelp th32ParentProcessID) is the running tavroHelper service's process
  // (QueryServiceStatusEx).
  static bool Matches();
};

}  // namespace kelm::service
