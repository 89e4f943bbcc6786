// The running service: reports its states, handles stop and shutdown, starts the lock
// agent of a session that locks, and takes up a restart marker left by an update.
#include "service_main.h"

#include <wtsapi32.h>

#include <map>

#include "core/log.h"
#include "core/win_handle.h"
#include "lock_agent_map.h"
#include "lock_agent_start.h"
#include "lock_watch_standin.h"
#include "restart_marker.h"
#include "service_pipe_server.h"
#include "service_names.h"

namespace kelm::service {
namespace {

constexpr DWORD kStartWaitHintMs = 3000;
constexpr DWORD kStopWaitHintMs = 5000;
// While the pipe thread finishes (a download ends within one blocked receive), the
// service manager sees the stop advance this often.
constexpr DWORD kStopProgressMs = 1000;

// The one service of this process: touched by the service thread and, for stop and
// shutdown, by the dispatcher's thread.
struct RunningService {
  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  SERVICE_STATUS status{};
  CRITICAL_SECTION statusLock;
  WinHandle stopEvent;
  LockAgentMap agents;
  RunningService() { InitializeCriticalSection(&statusLock); }
};

RunningService& Service() {
  static RunningService service;
  return service;
}

void Report(DWORD state, DWORD accepted, DWORD waitHint) {
  RunningService& s = Service();
  EnterCriticalSection(&s.statusLock);
  s.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.status.dwCurrentState = state;
  s.status.dwControlsAccepted = accepted;
  s.status.dwWin32ExitCode = NO_ERROR;
  s.status.dwServiceSpecificExitCode = 0;
  s.status.dwCheckPoint += 1;
  s.status.dwWaitHint = waitHint;
  SetServiceStatus(s.statusHandle, &s.status);
  LeaveCriticalSection(&s.statusLock);
}

DWORD WINAPI PipeThread(void* stopEvent) {
  kelm::helperservice::ServicePipeServer(static_cast<HANDLE>(stopEvent));
  return 0;
}

}  // namespace

int RunServiceDispatcher() {
  std::wstring name = kServiceName;
  const SERVICE_TABLE_ENTRYW table[] = {{name.data(), &ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? kExitOk : kExitFailed;
}

void WINAPI ServiceMain(DWORD, wchar_t**) {
  RunningService& s = Service();
  s.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, &ServiceControlHandler, nullptr);
  if (s.statusHandle == nullptr) return;
  s.stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Report(SERVICE_START_PENDING, 0, kStartWaitHintMs);
  LogInfo("Service started");
  Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE, 0);
  std::map<uint32_t, bool> locked = StartAgentsOfLockedSessions(s.agents);
  CheckRestartMarkerAtStart();
  WinHandle pipeThread;
  if (s.stopEvent) pipeThread.Reset(CreateThread(nullptr, 0, &PipeThread, s.stopEvent.Get(), 0, nullptr));
  LockWatchStandIn lockWatch;
  if (s.stopEvent && LockWatchStandIn::Needed()) lockWatch.Start(s.agents, s.stopEvent.Get(), std::move(locked));
  if (s.stopEvent) WaitForSingleObject(s.stopEvent.Get(), INFINITE);
  while (pipeThread && WaitForSingleObject(pipeThread.Get(), kStopProgressMs) == WAIT_TIMEOUT) {
    Report(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
  }
  lockWatch.Join();
  s.agents.TerminateAll();
  LogInfo("Service stopped");
  Report(SERVICE_STOPPED, 0, 0);
  // The detached marker thread may still wait (up to 600 s) for an installer: end the
  // process here, before static destructors (the logger) run under it.
  ExitProcess(0);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, void* eventData, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING, 0, kStopWaitHintMs);
      SetEvent(Service().stopEvent.Get());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    case SERVICE_CONTROL_SESSIONCHANGE:
      // An unlock needs nothing: the agent ends itself.
      if (eventType == WTS_SESSION_LOCK && eventData != nullptr) {
        StartLockAgent(Service().agents, static_cast<const WTSSESSION_NOTIFICATION*>(eventData)->dwSessionId);
      }
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

}  // namespace kelm::service
