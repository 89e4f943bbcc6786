#pragma once
// The console host and the console diagnostics.
#include <windows.h>

#include <cstdint>
#include <string>

#include "core/command_line.h"

namespace kelm {

int RunConsole(const CommandLine& cl);

// The console host's stop event carries this name, so that a process without a
// console to send Ctrl+C through (a service, a test) can stop it cleanly.
std::wstring ConsoleStopEventName(uint32_t processId);
BOOL WINAPI ConsoleCtrlHandler(DWORD type);

// Console diagnostics; each returns the process exit code.
int ListDisplays();
int RemoveMonitors();
int RunCaretTest();
int RunAudioTest();

}  // namespace kelm
