// The agent's parent as its proof of origin, only under Wine and only when the token
// user is not LocalSystem (on Windows the agent always runs as LocalSystem).
#include "lock_agent_parent_standin.h"

#include <tlhelp32.h>

#include "core/win_handle.h"
#include "core/wine_detect.h"
#include "lock_agent_identity.h"
#include "service_control.h"
#include "service_names.h"

namespace kelm::service {
namespace {

// 0 when this process is not in the snapshot.
DWORD ParentProcessId() {
  WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    if (entry.th32ProcessID == self) return entry.th32ParentProcessID;
  }
  return 0;
}

// 0 when the service is not installed or not running.
DWORD RunningServiceProcessId() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return 0;
  ScHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_QUERY_STATUS));
  if (!service) return 0;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                            &needed)) {
    return 0;
  }
  return status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

}  // namespace

bool LockAgentParentStandIn::Matches() {
  if (!RunningUnderWine() || OwnTokenUserIsLocalSystem()) return false;
  const DWORD parent = ParentProcessId();
  return parent != 0 && parent == RunningServiceProcessId();
}

}  // namespace kelm::service
