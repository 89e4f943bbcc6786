#pragma once
// The lock agent: started by the service inside a locked session, it shows that
// session's sign-in screen to the host through a pipe and types the device's input into it.
#include <cstdint>

namespace kelm::service {

// The process exit code: 0 after the session unlocked, 1 when the identity check or the
// pipe setup failed.
int LockAgentMain(uint32_t session);

}  // namespace kelm::service
