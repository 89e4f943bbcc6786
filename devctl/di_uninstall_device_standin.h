#pragma once
// Device removal where Wine's DiUninstallDevice is an unimplemented stub that ends the
// process instead of answering: the class installer's DIF_REMOVE removes the device.
#include <windows.h>
#include <setupapi.h>

namespace kelm::devctl {

// True under Wine (ntdll exports wine_get_version).
bool RunningUnderWine();

// Same arguments and results as DiUninstallDevice; never asks for a reboot.
BOOL WINAPI DiUninstallDeviceStandIn(HWND window, HDEVINFO list, SP_DEVINFO_DATA* device, DWORD flags,
                                     BOOL* rebootRequired);

}  // namespace kelm::devctl
