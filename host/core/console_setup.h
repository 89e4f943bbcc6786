#pragma once

namespace kelm {

// Gives a GUI-subsystem process console output: attaches to the parent's console (or
// opens one) and keeps output that is already redirected to a pipe or file.
void PrepareConsole();

}  // namespace kelm
