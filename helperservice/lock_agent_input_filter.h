#pragma once
// Which messages from the host the lock agent injects: no Windows here, so the rule is
// tested on its own.
#include <cstdint>
#include <span>

namespace kelm::service {

// True for a pipe message of type 2 whose body starts with a pen, touch, key, text or
// mouse type, while the session is locked and the lock screen is in front.
bool LockAgentAcceptsInput(uint8_t pipeType, std::span<const uint8_t> body, bool sessionLocked,
                           bool lockScreenInFront);

}  // namespace kelm::service
