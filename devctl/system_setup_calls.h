#pragma once
// The real device-installation calls of SetupAPI, the configuration manager and newdev.
#include <string_view>

#include "core/unique_any.h"
#include "devctl/setup_calls.h"

namespace kelm::devctl {

// DiUninstallDevice's shape; it is resolved at run time (the import library lacks it).
using UninstallDeviceFunction = BOOL(WINAPI*)(HWND, HDEVINFO, SP_DEVINFO_DATA*, DWORD, BOOL*);

class SystemSetupCalls final : public SetupCalls {
 public:
  // Removes devices with newdev.dll's DiUninstallDevice; under Wine, whose DiUninstallDevice
  // ends the process, with DiUninstallDeviceStandIn.
  SystemSetupCalls();
  // Removes devices with the DiUninstallDevice that `module` exports; where it has none,
  // every removal fails with ERROR_PROC_NOT_FOUND.
  explicit SystemSetupCalls(std::wstring_view module);

  bool UsesUninstallStandIn() const { return standIn_; }

  HDEVINFO GetClassDevs(DWORD flags) override;
  BOOL EnumDeviceInfo(HDEVINFO list, DWORD index, SP_DEVINFO_DATA* device) override;
  BOOL GetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property, DWORD* type, BYTE* buffer,
                                 DWORD bufferSize, DWORD* requiredSize) override;
  BOOL DestroyDeviceInfoList(HDEVINFO list) override;
  BOOL GetInfClass(const wchar_t* infPath, GUID* classGuid, wchar_t* className, DWORD classNameSize,
                   DWORD* requiredSize) override;
  HDEVINFO CreateDeviceInfoList(const GUID* classGuid) override;
  BOOL CreateDeviceInfo(HDEVINFO list, const wchar_t* deviceName, const GUID* classGuid, const wchar_t* description,
                        DWORD flags, SP_DEVINFO_DATA* device) override;
  BOOL SetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property, const BYTE* buffer,
                                 DWORD size) override;
  BOOL CallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device) override;
  HKEY OpenDevRegKey(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD scope, DWORD profile, DWORD keyType,
                     REGSAM access) override;
  LSTATUS QueryValue(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) override;
  LSTATUS CloseKey(HKEY key) override;
  BOOL UpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath, DWORD flags, BOOL* rebootRequired) override;
  BOOL UninstallDevice(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD flags, BOOL* rebootRequired) override;
  BOOL UninstallOemInf(const wchar_t* infName, DWORD flags) override;
  CONFIGRET GetDeviceId(DEVINST device, wchar_t* buffer, ULONG bufferLength, ULONG flags) override;
  CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST device, ULONG flags) override;

 private:
  void Load(std::wstring_view module);

  UniqueAny<HMODULE, FreeLibrary> module_;
  UninstallDeviceFunction uninstall_ = nullptr;
  bool standIn_ = false;
  bool wine_ = false;
};

}  // namespace kelm::devctl
