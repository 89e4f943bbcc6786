#pragma once
// Installing, stopping and removing the service from the command line.
#include <windows.h>

#include <functional>

#include "core/unique_any.h"

namespace kelm::service {

using ScHandle = UniqueAny<SC_HANDLE, &CloseServiceHandle>;

// Opens the service manager with the given access (OpenSCManagerW by default); tests
// put a refusing one in its place.
using ServiceManagerOpener = std::function<SC_HANDLE(DWORD access)>;
ServiceManagerOpener RealServiceManager();

// Creates or reconfigures the service, then starts it; the exit code (0 or 1).
int InstallService(const ServiceManagerOpener& open = RealServiceManager());
// Stops the service and, with `remove`, deletes it; the exit code (0 or 1).
int RemoveOrStopService(bool remove, const ServiceManagerOpener& open = RealServiceManager());

// True once the service reports STOPPED: asks it to stop, then polls every
// `pollMs` until STOPPED, a failed query or `timeoutMs`.
bool StopAndWait(SC_HANDLE service, DWORD timeoutMs = 15000, DWORD pollMs = 200);

}  // namespace kelm::service
