// The scripted device-installation calls: an in-memory device table behind SetupCalls.
#include "fake_setup_calls.h"

#include <algorithm>
#include <cstring>

namespace kelm::devctl::test {
namespace {

constexpr uintptr_t kKeyBase = 0x50000;

// {4d36e968-e325-11ce-bfc1-08002be10318}, the display class.
constexpr GUID kDisplayClass = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

HDEVINFO AsList(uintptr_t value) { return reinterpret_cast<HDEVINFO>(value); }

BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

std::vector<BYTE> WideBytes(const std::wstring& text) {
  std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
  std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

std::vector<BYTE> MultiString(const std::vector<std::wstring>& ids) {
  std::wstring text;
  for (const std::wstring& id : ids) {
    text += id;
    text.push_back(L'\0');
  }
  text.push_back(L'\0');
  return WideBytes(text);
}

FakeDevice& FakeSetupCalls::Add(const std::wstring& instanceId, const std::vector<std::wstring>& hardwareIds) {
  FakeDevice device;
  device.instanceId = instanceId;
  device.hardwareIds = MultiString(hardwareIds);
  return devices.emplace_back(std::move(device));
}

int FakeSetupCalls::CountIn(FakeDevice::State state) const {
  return static_cast<int>(
      std::count_if(devices.begin(), devices.end(), [&](const FakeDevice& d) { return d.state == state; }));
}

bool FakeSetupCalls::Failing(const std::string& call) {
  calls.push_back(call);
  const auto it = failures_.find(call);
  if (it == failures_.end()) return false;
  SetLastError(it->second);
  return true;
}

FakeSetupCalls::List* FakeSetupCalls::Find(HDEVINFO list) {
  const auto it = lists_.find(reinterpret_cast<uintptr_t>(list));
  return it == lists_.end() ? nullptr : &it->second;
}

FakeDevice* FakeSetupCalls::Element(HDEVINFO list, const SP_DEVINFO_DATA* device) {
  List* owner = Find(list);
  if (owner == nullptr || device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t index = device->DevInst - 1;
  if (std::find(owner->members.begin(), owner->members.end(), index) == owner->members.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return &devices[index];
}

HDEVINFO FakeSetupCalls::GetClassDevs(DWORD flags) {
  if (Failing("SetupDiGetClassDevs") || flags != DIGCF_ALLCLASSES) return INVALID_HANDLE_VALUE;
  List list;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].state == FakeDevice::State::Registered) list.members.push_back(i);
  }
  const uintptr_t handle = nextList_++;
  lists_[handle] = std::move(list);
  return AsList(handle);
}

BOOL FakeSetupCalls::EnumDeviceInfo(HDEVINFO list, DWORD index, SP_DEVINFO_DATA* device) {
  calls.push_back("SetupDiEnumDeviceInfo");
  List* owner = Find(list);
  if (owner == nullptr || device == nullptr || device->cbSize != sizeof(SP_DEVINFO_DATA)) {
    return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (index >= owner->members.size()) return FailWith(ERROR_NO_MORE_ITEMS);
  const size_t which = owner->members[index];
  device->ClassGuid = devices[which].classGuid;
  device->DevInst = static_cast<DWORD>(which + 1);
  device->Reserved = 0;
  return TRUE;
}

BOOL FakeSetupCalls::GetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property, DWORD* type,
                                               BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) {
  calls.push_back("SetupDiGetDeviceRegistryProperty");
  FakeDevice* target = Element(list, device);
  if (target == nullptr) return FALSE;
  if (property != SPDRP_HARDWAREID || !target->hardwareIds) return FailWith(ERROR_INVALID_DATA);
  hardwareIdOffers.push_back(bufferSize);
  const std::vector<BYTE>& ids = *target->hardwareIds;
  if (type != nullptr) *type = REG_MULTI_SZ;
  if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(ids.size());
  if (ids.size() > bufferSize) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, ids.data(), ids.size());
  return TRUE;
}

BOOL FakeSetupCalls::DestroyDeviceInfoList(HDEVINFO list) {
  calls.push_back("SetupDiDestroyDeviceInfoList");
  List* owner = Find(list);
  if (owner == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  // Elements never registered exist only in their list.
  for (size_t index : owner->members) {
    if (devices[index].state == FakeDevice::State::Pending) devices[index].state = FakeDevice::State::Dropped;
  }
  lists_.erase(reinterpret_cast<uintptr_t>(list));
  return TRUE;
}

BOOL FakeSetupCalls::GetInfClass(const wchar_t* infPath, GUID* classGuid, wchar_t* className, DWORD classNameSize,
                                 DWORD* requiredSize) {
  if (Failing("SetupDiGetINFClass")) return FALSE;
  if (infPath == nullptr || classGuid == nullptr || className == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  constexpr wchar_t kName[] = L"Display";
  if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(std::size(kName));
  if (classNameSize < std::size(kName)) return FailWith(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(className, kName, sizeof kName);
  *classGuid = kDisplayClass;
  return TRUE;
}

HDEVINFO FakeSetupCalls::CreateDeviceInfoList(const GUID*) {
  if (Failing("SetupDiCreateDeviceInfoList")) return INVALID_HANDLE_VALUE;
  const uintptr_t handle = nextList_++;
  lists_[handle] = List{};
  return AsList(handle);
}

BOOL FakeSetupCalls::CreateDeviceInfo(HDEVINFO list, const wchar_t* deviceName, const GUID* classGuid,
                                      const wchar_t*, DWORD flags, SP_DEVINFO_DATA* device) {
  if (Failing("SetupDiCreateDeviceInfo")) return FALSE;
  List* owner = Find(list);
  if (owner == nullptr || deviceName == nullptr || classGuid == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  FakeDevice created;
  created.state = FakeDevice::State::Pending;
  created.classGuid = *classGuid;
  created.name = deviceName;
  created.createFlags = flags;
  created.instanceId = L"ROOT\\DISPLAY\\" + std::to_wstring(1000 + devices.size());
  devices.push_back(std::move(created));
  owner->members.push_back(devices.size() - 1);
  if (device != nullptr) {
    device->ClassGuid = *classGuid;
    device->DevInst = static_cast<DWORD>(devices.size());
  }
  return TRUE;
}

BOOL FakeSetupCalls::SetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property,
                                               const BYTE* buffer, DWORD size) {
  if (Failing("SetupDiSetDeviceRegistryProperty")) return FALSE;
  FakeDevice* target = Element(list, device);
  if (target == nullptr) return FALSE;
  if (property != SPDRP_HARDWAREID) return FailWith(ERROR_INVALID_PARAMETER);
  target->hardwareIds = std::vector<BYTE>(buffer, buffer + size);
  return TRUE;
}

BOOL FakeSetupCalls::CallClassInstaller(DI_FUNCTION function, HDEVINFO list, SP_DEVINFO_DATA* device) {
  if (function != DIF_REGISTERDEVICE) return FailWith(ERROR_DI_DO_DEFAULT);
  if (Failing("DIF_REGISTERDEVICE")) return FALSE;
  FakeDevice* target = Element(list, device);
  if (target == nullptr) return FALSE;
  target->state = FakeDevice::State::Registered;
  return TRUE;
}

HKEY FakeSetupCalls::OpenDevRegKey(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD scope, DWORD profile,
                                   DWORD keyType, REGSAM access) {
  calls.push_back("SetupDiOpenDevRegKey");
  FakeDevice* target = Element(list, device);
  const auto invalid = static_cast<HKEY>(INVALID_HANDLE_VALUE);
  if (target == nullptr) return invalid;
  if (scope != DICS_FLAG_GLOBAL || profile != 0 || keyType != DIREG_DRV || access != KEY_READ) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return invalid;
  }
  if (!target->infPath) {
    SetLastError(ERROR_KEY_DOES_NOT_EXIST);
    return invalid;
  }
  ++openKeys_;
  return reinterpret_cast<HKEY>(kKeyBase + device->DevInst);
}

LSTATUS FakeSetupCalls::QueryValue(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
  calls.push_back("RegQueryValueEx");
  const size_t index = reinterpret_cast<uintptr_t>(key) - kKeyBase - 1;
  if (index >= devices.size() || !devices[index].infPath || size == nullptr) return ERROR_INVALID_HANDLE;
  if (std::wstring_view(name) != L"InfPath") return ERROR_FILE_NOT_FOUND;
  infPathOffers.push_back(*size);
  const std::vector<BYTE>& value = *devices[index].infPath;
  if (type != nullptr) *type = REG_SZ;
  // As the registry does: a smaller offer gets the size it needs and no data.
  if (data != nullptr && *size < value.size()) {
    *size = static_cast<DWORD>(value.size());
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) std::memcpy(data, value.data(), value.size());
  *size = static_cast<DWORD>(value.size());
  return ERROR_SUCCESS;
}

LSTATUS FakeSetupCalls::CloseKey(HKEY) {
  calls.push_back("RegCloseKey");
  --openKeys_;
  return ERROR_SUCCESS;
}

BOOL FakeSetupCalls::UpdateDriver(const wchar_t* hardwareId, const wchar_t* infPath, DWORD flags,
                                  BOOL* rebootRequired) {
  if (Failing("UpdateDriverForPlugAndPlayDevices")) return FALSE;
  updatedHardwareIds.emplace_back(hardwareId);
  updatedInfPaths.emplace_back(infPath);
  updateFlags.push_back(flags);
  if (rebootRequired != nullptr) *rebootRequired = this->rebootRequired ? TRUE : FALSE;
  return TRUE;
}

BOOL FakeSetupCalls::UninstallDevice(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD, BOOL* rebootRequired) {
  if (Failing("DiUninstallDevice")) return FALSE;
  FakeDevice* target = Element(list, device);
  if (target == nullptr) return FALSE;
  target->state = FakeDevice::State::Removed;
  if (rebootRequired != nullptr) *rebootRequired = FALSE;
  return TRUE;
}

BOOL FakeSetupCalls::UninstallOemInf(const wchar_t* infName, DWORD flags) {
  uninstalledInfs.emplace_back(infName);
  if (Failing("SetupUninstallOEMInf")) return FALSE;
  return flags == SUOI_FORCEDELETE ? TRUE : FailWith(ERROR_INVALID_FLAGS);
}

CONFIGRET FakeSetupCalls::GetDeviceId(DEVINST device, wchar_t* buffer, ULONG bufferLength, ULONG) {
  calls.push_back("CM_Get_Device_ID");
  if (device == 0 || device > devices.size()) return CR_INVALID_DEVNODE;
  const std::wstring& id = devices[device - 1].instanceId;
  if (id.size() + 1 > bufferLength) return CR_BUFFER_SMALL;
  std::memcpy(buffer, id.c_str(), (id.size() + 1) * sizeof(wchar_t));
  return CR_SUCCESS;
}

CONFIGRET FakeSetupCalls::GetDevNodeStatus(ULONG* status, ULONG* problem, DEVINST device, ULONG) {
  calls.push_back("CM_Get_DevNode_Status");
  if (device == 0 || device > devices.size()) return CR_INVALID_DEVNODE;
  const FakeDevice& target = devices[device - 1];
  if (target.statusResult != CR_SUCCESS) return target.statusResult;
  *status = target.status;
  *problem = target.problem;
  return CR_SUCCESS;
}

}  // namespace kelm::devctl::test
