#pragma once
// The console diagnostics for displays: the display list and removing every virtual
// monitor.
#include <cstddef>
#include <optional>
#include <string>

#include "media/display_enum.h"
#include "media/display_scale.h"

namespace kelm {

class VirtualDisplayDriver;

// One line of --list-displays, ending in "\n"; the scales print as 0 when unknown.
std::string DisplayListLine(size_t index, const DisplayInfo& display, const std::optional<DisplayScaleInfo>& scale);
// --remove-monitors on the given driver connection; the exit code.
int RemoveMonitorsWith(VirtualDisplayDriver& driver);

}  // namespace kelm
