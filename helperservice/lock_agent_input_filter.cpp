// The lock agent's input rule.
#include "lock_agent_input_filter.h"

#include "media/pipe_message.h"
#include "desktop/input_message_types.h"

namespace kelm::service {

bool LockAgentAcceptsInput(uint8_t pipeType, std::span<const uint8_t> body, bool sessionLocked,
                           bool lockScreenInFront) {
  if (pipeType != static_cast<uint8_t>(PipeMessageType::Input) || body.empty()) return false;
  if (!sessionLocked || !lockScreenInFront) return false;
  switch (body[0]) {
    case kTypePen:
    case kTypeTouch:
    case kTypeKey:
    case kTypeText:
    case kTypePointer:
      return true;
    default:
      return false;
  }
}

}  // namespace kelm::service
