#pragma once
// The device-installation calls the driver tool makes, one virtual per Windows call with
// the same arguments and results, so tests can script answers the system never gives.
// Failures set the thread's last error, as the Windows calls do.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

namespace kelm::devctl {

class SetupCalls {
 public:
  virtual ~SetupCalls() = default;

  // SetupDiGetClassDevsW with no class, enumerator or window.
  virtual HDEVINFO GetClassDevs(DWORD flags) = 0;
  virtual BOOL EnumDeviceInfo(HDEVINFO list, DWORD index, SP_DEVINFO_DATA* device) = 0;
  virtual BOOL GetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property, DWORD* type,
                                         BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) = 0;
  virtual BOOL DestroyDeviceInfoList(HDEVINFO list) = 0;

  virtual BOOL GetInfClass(const wchar_t* infPath, GUID* classGuid, wchar_t* className, DWORD classNameSize,
                           DWORD* requiredSize) = 0;
  // SetupDiCreateDeviceInfoList without a window.
  virtual HDEVINFO CreateDeviceInfoList(const GUID* classGuid) = 0;
  // SetupDiCreateDeviceInfoW without a window.
  virtual BOOL CreateDeviceInfo(HDEVINFO list, const wchar_t* deviceName, const GUID* classGuid,
                                const wchar_t* description, DWORD flags, SP_DEVINFO_DATA* device) = 0;
  virtual BOOL SetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property,
                                         const BYTE* buffer, DWORD size) = 0;
  virtual BOOL CallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device) = 0;

  virtual HKEY OpenDevRegKey(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD scope, DWORD profile, DWORD keyType,
                             REGSAM access) = 0;
  // RegQueryValueExW: answers with an error code, not the last error.
  virtual LSTATUS QueryValue(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) = 0;
  virtual LSTATUS CloseKey(HKEY key) = 0;

  // UpdateDriverForPlugAndPlayDevicesW without a window.
  virtual BOOL UpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath, DWORD flags, BOOL* rebootRequired) = 0;
  // DiUninstallDevice without a window.
  virtual BOOL UninstallDevice(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD flags, BOOL* rebootRequired) = 0;
  virtual BOOL UninstallOemInf(const wchar_t* infName, DWORD flags) = 0;

  virtual CONFIGRET GetDeviceId(DEVINST device, wchar_t* buffer, ULONG bufferLength, ULONG flags) = 0;
  virtual CONFIGRET GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST device, ULONG flags) = 0;
};

}  // namespace kelm::devctl
