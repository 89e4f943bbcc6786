#pragma once
// The Terminal Services session of this process, whether a session is locked, and the
// name of the lock agent's pipe for a session: shared by the host and the service.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelm {

// "\\.\pipe\tavro.LockScreen.<session>".
std::wstring LockScreenPipeName(uint32_t session);

// ProcessIdToSessionId of this process.
uint32_t OwnSessionId();

// WTSQuerySessionInformationW's lock flag; a failed query counts as not locked. Where
// Wine answers that query with a failure, the session counts as locked while the DWORD
// LockedSession under the stand-in key (HKLM\Software\tavro\WineStandIn) equals it.
bool IsSessionLocked(uint32_t session);

// Where the Wine stand-in reads LockedSession. The value is prefix-wide, so tests running
// real sessions side by side give each program a key of its own; an empty path takes the
// default again.
void SetLockedSessionStandInKey(HKEY root, std::wstring path);

}  // namespace kelm
