#pragma once
// The service side of the program: the dispatcher entry, the service main function and
// its control handler.
#include <windows.h>

namespace kelm::service {

// StartServiceCtrlDispatcherW with the one service; 0 when the dispatcher ran, 1 when
// it failed (for instance when started from a shell).
int RunServiceDispatcher();

void WINAPI ServiceMain(DWORD argc, wchar_t** argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, void* eventData, void* context);

}  // namespace kelm::service
