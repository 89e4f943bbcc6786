// The mirrored display's rectangle from the active display configuration.
#include "media/mirror_target.h"

#include <algorithm>

#include "media/display_enum.h"

namespace kelm {

std::optional<RECT> MirroredMonitorRect(uint8_t mirrorIndex) {
  const std::vector<DisplayInfo> displays = EnumerateDisplays();
  if (displays.empty()) {
    return std::nullopt;
  }
  return displays[std::min<size_t>(mirrorIndex, displays.size() - 1)].rect;
}

}  // namespace kelm
