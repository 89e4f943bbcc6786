// Entry of tavroHelper: the service itself, or its install, stop and remove commands.
#include <windows.h>

#include <cwchar>
#include <string_view>

#include "core/log.h"
#include "data_folder.h"
#include "lock_agent.h"
#include "service_control.h"
#include "service_main.h"
#include "service_names.h"

namespace {

// Every start checks and secures the data folder first; the log is written there only
// when the folder could be made trustworthy.
void OpenServiceLog() {
  if (kelm::service::ServiceDataFolderTrusted()) {
    kelm::OpenLogFile(kelm::service::ServiceDataFolder() + L"\\service.log");
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  using namespace kelm::service;
  const std::wstring_view first = argc > 1 ? std::wstring_view(argv[1]) : std::wstring_view();
  // The agent checks who started it before it opens a log of its own.
  if (first == L"--lock-agent") {
    return LockAgentMain(argc > 2 ? static_cast<uint32_t>(std::wcstoul(argv[2], nullptr, 10)) : 0);
  }
  OpenServiceLog();
  if (first == L"--service") return RunServiceDispatcher();
  if (first == L"--install") return InstallService();
  if (first == L"--uninstall") return RemoveOrStopService(true);
  if (first == L"--stop") return RemoveOrStopService(false);
  MessageBoxW(nullptr, L"This is a helper of tavro and is started by Windows.", L"tavro",
              MB_OK | MB_ICONINFORMATION);
  return kExitNotForUsers;
}
