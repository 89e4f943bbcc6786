// Removes a device through DIF_REMOVE where DiUninstallDevice cannot run.
#include "devctl/di_uninstall_device_standin.h"

namespace kelm::devctl {

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

BOOL WINAPI DiUninstallDeviceStandIn(HWND, HDEVINFO list, SP_DEVINFO_DATA* device, DWORD, BOOL* rebootRequired) {
  if (rebootRequired != nullptr) *rebootRequired = FALSE;
  return SetupDiCallClassInstaller(DIF_REMOVE, list, device);
}

}  // namespace kelm::devctl
