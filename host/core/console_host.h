#pragma once
// The console host and the console diagnostics.
#include <windows.h>

#include "core/command_line.h"

namespace kelm {

int RunConsole(const CommandLine& cl);
BOOL WINAPI ConsoleCtrlHandler(DWORD type);

// Console diagnostics; each returns the process exit code.
int ListDisplays();
int RemoveMonitors();
int RunCaretTest();
int RunAudioTest();

}  // namespace kelm
