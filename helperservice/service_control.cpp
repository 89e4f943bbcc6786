// The service's install, stop and remove commands against the service manager.
#include "service_control.h"

#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "core/unique_any.h"
#include "service_names.h"

namespace kelm::service {
namespace {

constexpr DWORD kFailureResetSeconds = 86400;
constexpr DWORD kFirstRestartMs = 5000;
constexpr DWORD kSecondRestartMs = 30000;

bool DescribeAndSetRecovery(SC_HANDLE service) {
  std::wstring description = kDescription;
  SERVICE_DESCRIPTIONW d{description.data()};
  const bool described = ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &d) != FALSE;
  SC_ACTION actions[3] = {{SC_ACTION_RESTART, kFirstRestartMs}, {SC_ACTION_RESTART, kSecondRestartMs},
                          {SC_ACTION_NONE, 0}};
  SERVICE_FAILURE_ACTIONSW f{};
  f.dwResetPeriod = kFailureResetSeconds;
  f.cActions = 3;
  f.lpsaActions = actions;
  const bool recovery = ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &f) != FALSE;
  return described && recovery;
}

}  // namespace

ServiceManagerOpener RealServiceManager() {
  return [](DWORD access) { return OpenSCManagerW(nullptr, nullptr, access); };
}

bool StopAndWait(SC_HANDLE service, DWORD timeoutMs, DWORD pollMs) {
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service, &status)) return false;
  if (status.dwCurrentState == SERVICE_STOPPED) return true;
  ControlService(service, SERVICE_CONTROL_STOP, &status);
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (!QueryServiceStatus(service, &status)) return false;
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(pollMs);
  }
}

int InstallService(const ServiceManagerOpener& open) {
  ScHandle manager(open(SC_MANAGER_ALL_ACCESS));
  if (!manager) {
    LogError("Opening the service manager failed: {} (run as administrator)", GetLastError());
    return kExitFailed;
  }
  const std::wstring binaryPath = L"\"" + ExecutablePath() + L"\" --service";
  ScHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
  if (service) {
    // Reconfiguring and starting while the old process still runs would "succeed" on
    // that process: nothing changes unless it stopped.
    if (!StopAndWait(service.Get())) {
      LogError("The running service did not stop; nothing was changed");
      return kExitFailed;
    }
    if (!ChangeServiceConfigW(service.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, kDisplayName)) {
      LogError("Changing the service failed: {}", GetLastError());
      return kExitFailed;
    }
  } else {
    service.Reset(CreateServiceW(manager.Get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 binaryPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
      LogError("Creating the service failed: {}", GetLastError());
      return kExitFailed;
    }
  }
  DescribeAndSetRecovery(service.Get());
  int code = kExitOk;
  if (!StartServiceW(service.Get(), 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
    LogError("Starting the service failed: {}", GetLastError());
    code = kExitFailed;
  }
  service.Reset();
  manager.Reset();
  LogInfo("Service installed");
  return code;
}

int RemoveOrStopService(bool remove, const ServiceManagerOpener& open) {
  ScHandle manager(open(SC_MANAGER_CONNECT));
  if (!manager) return kExitFailed;
  ScHandle service(OpenServiceW(manager.Get(), kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? kExitOk : kExitFailed;
  int code = StopAndWait(service.Get()) ? kExitOk : kExitFailed;
  if (remove && !DeleteService(service.Get())) code = kExitFailed;
  if (remove) {
    LogInfo("Service removed");
  } else {
    LogInfo("Service stopped");
  }
  return code;
}

}  // namespace kelm::service
