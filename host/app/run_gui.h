#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "core/cli_overrides.h"

namespace kelm {

// The tray application; returns the process exit code.
int RunGui(HINSTANCE instance, CliOverrides overrides, bool minimized, bool verbose,
           std::vector<std::wstring> files);

}  // namespace kelm
