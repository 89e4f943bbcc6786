#pragma once
// The device's input message types as one-byte values, for switches over raw types.
#include <cstdint>

#include "core/protocol.h"

namespace kelm {

inline constexpr uint8_t kTypePen = static_cast<uint8_t>(proto::MsgType::PenSamples);
inline constexpr uint8_t kTypeTouch = static_cast<uint8_t>(proto::MsgType::TouchContacts);
inline constexpr uint8_t kTypeKey = static_cast<uint8_t>(proto::MsgType::Key);
inline constexpr uint8_t kTypeText = static_cast<uint8_t>(proto::MsgType::Text);
inline constexpr uint8_t kTypePointer = static_cast<uint8_t>(proto::MsgType::Pointer);

}  // namespace kelm
