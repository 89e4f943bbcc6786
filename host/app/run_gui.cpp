// The GUI run: single-instance lock, log file, common controls and COM around the App.
#include "app/run_gui.h"

#include <commctrl.h>
#include <objbase.h>

#include "app/app.h"
#include "app/app_texts.h"
#include "app/single_instance.h"
#include "core/com_apartment.h"
#include "core/lingering_threads.h"
#include "core/log.h"
#include "core/paths.h"

namespace kelm {

int RunGui(HINSTANCE instance, CliOverrides overrides, bool minimized, bool verbose,
           std::vector<std::wstring> files) {
  SingleInstanceLock lock;
  if (!lock.Acquired()) {
    // The other instance may end while we look for it: then this one runs.
    if (ActivateRunningInstance(lock, files) != HandOffResult::BecameInstance) return 0;
  }
  OpenLogFile(LocalDataDir() + L"\\host.log");
  LogInfo("tavro {} starting", kAppVersion);
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  int code = 1;
  {
    const ComApartment com = EnterComApartment(COINIT_APARTMENTTHREADED);
    if (!com) {
      LogError("COM initialization failed");
      return 1;
    }
    App app(instance, std::move(overrides), verbose, std::move(files));
    code = app.Run(minimized);
  }
  JoinLingeringThreads(kLingeringExitWaitMs);
  LogInfo("Exited");
  CloseLogFile();
  return code;
}

}  // namespace kelm
