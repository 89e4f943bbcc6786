#pragma once
// Whether this process may act as the lock agent of a session: only the service starts
// one, as LocalSystem, inside that very session.
#include <cstdint>

namespace kelm::service {

// The own session equals `session`, which is not 0, and the token user is LocalSystem
// (under Wine, where services run as the ordinary user: the parent process is the
// running service's process, see LockAgentParentStandIn).
// True when this process's token user is LocalSystem.
bool OwnTokenUserIsLocalSystem();

bool LockAgentIdentityHolds(uint32_t session);

}  // namespace kelm::service
