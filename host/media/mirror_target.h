#pragma once
// The desktop rectangle of the display a mirroring session shows, for the input mapping
// until the video pipeline reports the captured one.
#include <windows.h>

#include <cstdint>
#include <optional>

namespace kelm {

// The active display at min(mirrorIndex, count - 1); nothing when there is none.
std::optional<RECT> MirroredMonitorRect(uint8_t mirrorIndex);

}  // namespace kelm
