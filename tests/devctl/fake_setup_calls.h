#pragma once
// A scripted stand-in for SetupAPI, the configuration manager and newdev: devices with
// chosen hardware ids, node states and driver keys, and failures with chosen codes.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "captured_output.h"
#include "devctl/setup_calls.h"

namespace kelm::devctl::test {

// SPDRP_HARDWAREID bytes: each id with its NUL, then the list's NUL.
std::vector<BYTE> MultiString(const std::vector<std::wstring>& ids);
// Wide text as registry bytes, without a NUL.
std::vector<BYTE> WideBytes(const std::wstring& text);

struct FakeDevice {
  enum class State { Pending, Registered, Removed, Dropped };
  std::wstring instanceId;
  std::optional<std::vector<BYTE>> hardwareIds;  // nothing: the property is missing
  std::optional<std::vector<BYTE>> infPath;      // nothing: no driver key
  CONFIGRET statusResult = CR_SUCCESS;
  ULONG status = 0;
  ULONG problem = 0;
  State state = State::Registered;
  GUID classGuid{};
  std::wstring name;  // as given to SetupDiCreateDeviceInfoW
  DWORD createFlags = 0;
};

class FakeSetupCalls final : public SetupCalls {
 public:
  // Adds a registered device and answers it for further scripting.
  FakeDevice& Add(const std::wstring& instanceId, const std::vector<std::wstring>& hardwareIds);

  // Makes the named call fail with `error` as its last error. Names are the tool's
  // operation names ("SetupDiGetINFClass", "DIF_REGISTERDEVICE", "DiUninstallDevice", ...).
  void Fail(const std::string& call, DWORD error) { failures_[call] = error; }

  std::vector<FakeDevice> devices;
  bool rebootRequired = false;
  // What the tool handed over.
  std::vector<std::wstring> updatedInfPaths;
  std::vector<std::wstring> updatedHardwareIds;
  std::vector<DWORD> updateFlags;
  std::vector<std::wstring> uninstalledInfs;  // attempts, in order
  std::vector<DWORD> infPathOffers;           // sizes offered for "InfPath"
  std::vector<DWORD> hardwareIdOffers;        // sizes offered for SPDRP_HARDWAREID
  std::vector<std::string> calls;             // every call, in order

  int OpenLists() const { return static_cast<int>(lists_.size()); }
  int OpenKeys() const { return openKeys_; }
  int CountIn(FakeDevice::State state) const;

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
  struct List {
    std::vector<size_t> members;  // indices into devices
  };
  // Records the call; true (with the last error set) when it is scripted to fail.
  bool Failing(const std::string& call);
  List* Find(HDEVINFO list);
  // The device a list element names, or nothing (last error ERROR_INVALID_PARAMETER).
  FakeDevice* Element(HDEVINFO list, const SP_DEVINFO_DATA* device);

  std::map<std::string, DWORD> failures_;
  std::map<uintptr_t, List> lists_;
  uintptr_t nextList_ = 0x1000;
  int openKeys_ = 0;
};

}  // namespace kelm::devctl::test
