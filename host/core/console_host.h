#pragma once
// The console host: runs the host service until Ctrl+C or its stop event.
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

}  // namespace kelm
