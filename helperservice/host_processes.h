#pragma once
// The service's view of the host program: whether it runs in a session, whether a pipe
// client is the installed one, and starting a program in a user's session.
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelm::service {

// True when a "tavro.exe" process belongs to the session, or when processes cannot be
// listed.
bool HostRunsInSession(uint32_t session);

// True when the pipe's client process is the tavro.exe in the service program's own
// folder; another image is refused with a WARN line, a client already gone silently.
bool IsInstalledHostClient(HANDLE pipe);
// The same against the tavro.exe in `installDir`.
bool IsInstalledHostClient(HANDLE pipe, const std::wstring& installDir);

// Environment variables set for one started program only (name, value).
using EnvironmentOverrides = std::vector<std::pair<std::wstring, std::wstring>>;

// Starts `applicationPath` with the token's own environment (`overrides` replacing or
// adding variables) on "winsta0\default" in `currentDir`, suspended when asked; `pi`
// receives both handles, which the caller closes. Logs ERROR "Starting {} failed: {}"
// on failure.
bool StartProcessAsUser(HANDLE token, const std::wstring& applicationPath, const std::wstring& commandLine,
                        const std::wstring& currentDir, bool suspended, PROCESS_INFORMATION& pi,
                        const EnvironmentOverrides& overrides = {});

// A double-NUL-terminated environment block with `overrides` in place of same-named
// variables (names compared without case).
std::vector<wchar_t> OverrideEnvironment(const wchar_t* block, const EnvironmentOverrides& overrides);

}  // namespace kelm::service
