// The service's start of a session's lock agent.
#include "lock_agent_start.h"

#include <windows.h>
#include <wtsapi32.h>

#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "core/unique_any.h"
#include "core/win_handle.h"
#include "host_processes.h"
#include "media/session_lock.h"

namespace kelm::service {
namespace {

constexpr uint32_t kNoSession = 0xFFFFFFFF;

// The service's own token, copied as a primary token of `session`; empty after an ERROR.
WinHandle SessionToken(uint32_t session) {
  WinHandle own;
  WinHandle copy;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, own.Put()) ||
      !DuplicateTokenEx(own.Get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary, copy.Put())) {
    LogError("DuplicateTokenEx failed: {}", GetLastError());
    return {};
  }
  DWORD id = session;
  if (!SetTokenInformation(copy.Get(), TokenSessionId, &id, sizeof(id))) {
    LogError("SetTokenInformation failed: {}", GetLastError());
    return {};
  }
  return copy;
}

WinHandle StartAgentProcess(uint32_t session) {
  if (!HostRunsInSession(session)) {
    LogInfo("Session {} locked; tavro isn't running there", session);
    return {};
  }
  WinHandle token = SessionToken(session);
  if (!token) return {};
  const std::wstring self = ExecutablePath();
  std::wstring commandLine = L"\"" + self + L"\" --lock-agent " + std::to_wstring(session);
  std::wstring desktop = L"winsta0\\winlogon";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.lpDesktop = desktop.data();
  PROCESS_INFORMATION pi{};
  const std::wstring folder = ExecutableDir();
  if (!CreateProcessAsUserW(token.Get(), self.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                            nullptr, folder.c_str(), &si, &pi)) {
    LogError("Starting the lock agent failed: {}", GetLastError());
    return {};
  }
  CloseHandle(pi.hThread);
  LogInfo("Session {} locked; lock agent started (pid {})", session, pi.dwProcessId);
  return WinHandle(pi.hProcess);
}

}  // namespace

std::vector<uint32_t> ActiveSessions() {
  WTS_SESSION_INFOW* sessions = nullptr;
  DWORD count = 0;
  if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count)) return {};
  const UniqueAny<void*, &WTSFreeMemory> owner(sessions);
  std::vector<uint32_t> active;
  for (DWORD i = 0; i < count; ++i) {
    if (sessions[i].State == WTSActive) active.push_back(sessions[i].SessionId);
  }
  return active;
}

std::map<uint32_t, bool> StartAgentsOfLockedSessions(LockAgentMap& agents) {
  std::map<uint32_t, bool> locked;
  for (const uint32_t session : ActiveSessions()) {
    locked[session] = IsSessionLocked(session);
    if (locked[session]) StartLockAgent(agents, session);
  }
  return locked;
}

void StartLockAgent(LockAgentMap& agents, uint32_t session) {
  if (session == 0 || session == kNoSession) return;
  agents.StartIfNone(session, [session] { return StartAgentProcess(session); });
}

}  // namespace kelm::service
