// Forwards each call to SetupAPI, the configuration manager or newdev.dll.
#include "devctl/system_setup_calls.h"

#include <newdev.h>

#include <cwchar>
#include <string>

#include "devctl/di_uninstall_device_standin.h"

namespace kelm::devctl {

namespace {

// True when "<windows folder>\inf\<name>" needs more than MAX_PATH characters.
bool TooLongForInfFolder(const wchar_t* infName) {
  const UINT windows = GetWindowsDirectoryW(nullptr, 0);  // counts its NUL
  return windows == 0 || windows + std::wcslen(L"\\inf\\") + std::wcslen(infName) > MAX_PATH;
}

}  // namespace

SystemSetupCalls::SystemSetupCalls() {
  wine_ = RunningUnderWine();
  if (wine_) {
    uninstall_ = &DiUninstallDeviceStandIn;
    standIn_ = true;
  } else {
    Load(L"newdev.dll");
  }
}

SystemSetupCalls::SystemSetupCalls(std::wstring_view module) : wine_(RunningUnderWine()) { Load(module); }

void SystemSetupCalls::Load(std::wstring_view module) {
  const std::wstring name(module);
  module_.Reset(LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (module_) {
    uninstall_ = reinterpret_cast<UninstallDeviceFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_.Get(), "DiUninstallDevice")));
  }
}

HDEVINFO SystemSetupCalls::GetClassDevs(DWORD flags) { return SetupDiGetClassDevsW(nullptr, nullptr, nullptr, flags); }

BOOL SystemSetupCalls::EnumDeviceInfo(HDEVINFO list, DWORD index, SP_DEVINFO_DATA* device) {
  return SetupDiEnumDeviceInfo(list, index, device);
}

BOOL SystemSetupCalls::GetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property,
                                                 DWORD* type, BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) {
  return SetupDiGetDeviceRegistryPropertyW(list, device, property, type, buffer, bufferSize, requiredSize);
}

BOOL SystemSetupCalls::DestroyDeviceInfoList(HDEVINFO list) { return SetupDiDestroyDeviceInfoList(list); }

BOOL SystemSetupCalls::GetInfClass(const wchar_t* infPath, GUID* classGuid, wchar_t* className, DWORD classNameSize,
                                   DWORD* requiredSize) {
  return SetupDiGetINFClassW(infPath, classGuid, className, classNameSize, requiredSize);
}

HDEVINFO SystemSetupCalls::CreateDeviceInfoList(const GUID* classGuid) {
  return SetupDiCreateDeviceInfoList(classGuid, nullptr);
}

BOOL SystemSetupCalls::CreateDeviceInfo(HDEVINFO list, const wchar_t* deviceName, const GUID* classGuid,
                                        const wchar_t* description, DWORD flags, SP_DEVINFO_DATA* device) {
  return SetupDiCreateDeviceInfoW(list, deviceName, classGuid, description, nullptr, flags, device);
}

BOOL SystemSetupCalls::SetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property,
                                                 const BYTE* buffer, DWORD size) {
  return SetupDiSetDeviceRegistryPropertyW(list, device, property, buffer, size);
}

BOOL SystemSetupCalls::CallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device) {
  return SetupDiCallClassInstaller(function, list, device);
}

HKEY SystemSetupCalls::OpenDevRegKey(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD scope, DWORD profile,
                                     DWORD keyType, REGSAM access) {
  return SetupDiOpenDevRegKey(list, device, scope, profile, keyType, access);
}

LSTATUS SystemSetupCalls::QueryValue(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  return RegQueryValueExW(key, name, nullptr, type, data, size);
}

LSTATUS SystemSetupCalls::CloseKey(HKEY key) { return RegCloseKey(key); }

BOOL SystemSetupCalls::UpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath, DWORD flags,
                                    BOOL* rebootRequired) {
  return UpdateDriverForPlugAndPlayDevicesW(nullptr, hardwareId, infPath, flags, rebootRequired);
}

BOOL SystemSetupCalls::UninstallDevice(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD flags, BOOL* rebootRequired) {
  if (uninstall_ == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  return uninstall_(nullptr, list, device, flags, rebootRequired);
}

BOOL SystemSetupCalls::UninstallOemInf(const wchar_t* infName, DWORD flags) {
  // Wine joins the name to its inf folder in a MAX_PATH buffer without a bound, so a
  // longer name overruns its stack; no package in that folder can have such a name.
  if (wine_ && infName != nullptr && TooLongForInfFolder(infName)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  return SetupUninstallOEMInfW(infName, flags, nullptr);
}

CONFIGRET SystemSetupCalls::GetDeviceId(DEVINST device, wchar_t* buffer, ULONG bufferLength, ULONG flags) {
  return CM_Get_Device_IDW(device, buffer, bufferLength, flags);
}

CONFIGRET SystemSetupCalls::GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST device, ULONG flags) {
  return CM_Get_DevNode_Status(status, problem, device, flags);
}

}  // namespace kelm::devctl
