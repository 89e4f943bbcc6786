#pragma once
// The service's view of the host program: whether it runs in a session, whether a pipe
// client is the installed one, and starting a program in a user's session.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelm::service {

// True when a "tavro.exe" process belongs to the session, or when processes cannot be
// listed.
bool HostRunsInSession(uint32_t session);

// True when the pipe's client process is the tavro.exe in the service program's own
// folder; another image is refused with a WARN line, a client already gone silently.
bool IsInstalledHostClient(HANDLE pipe);
// The same against the tavro.exe in `installDir`.
bool IsInstalledHostClient(HANDLE pipe, const std::wstring& installDir);

// Starts `applicationPath` with the token's own environment on "winsta0\default" in
// `currentDir`, suspended when asked; `pi` receives both handles, which the caller
// closes. Logs ERROR "Starting {} failed: {}" on failure.
bool StartProcessAsUser(HANDLE token, const std::wstring& applicationPath, const std::wstring& commandLine,
                        const std::wstring& currentDir, bool suspended, PROCESS_INFORMATION& pi);

}  // namespace kelm::service
