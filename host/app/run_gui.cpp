#include "app/run_gui.h"

namespace kelm {

// Placeholder until the application shell is built: the tray app is not there yet,
// so say so and point at the console host instead of starting silently.
int RunGui(HINSTANCE, CliOverrides, bool, bool, std::vector<std::wstring>) {
  MessageBoxW(nullptr, L"The tray application is not available in this build; run tavro --console.",
              L"tavro", MB_OK | MB_ICONINFORMATION);
  return 1;
}

}  // namespace kelm
