// Root devices for the tests: registered with DIF_REGISTERDEVICE, removed with DIF_REMOVE.
#include "root_device.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winternl.h>

#include <cwchar>
#include <functional>

namespace kelm::devctl::test {
namespace {

// The native registry call stores a value's bytes as given; Wine's RegSetValueExW adds
// a NUL to REG_SZ data that lacks one.
using NtSetValueKeyFunction = LONG(NTAPI*)(HANDLE, UNICODE_STRING*, ULONG, ULONG, void*, ULONG);

constexpr GUID kDisplayClass = {0x4d36e968, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

class List {
 public:
  explicit List(HDEVINFO list) : list_(list) {}
  ~List() {
    if (list_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(list_);
  }
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  HDEVINFO Get() const { return list_; }
  explicit operator bool() const { return list_ != INVALID_HANDLE_VALUE; }

 private:
  HDEVINFO list_;
};

std::vector<std::wstring> HardwareIds(HDEVINFO list, SP_DEVINFO_DATA& device) {
  std::vector<wchar_t> buffer(4096, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(list, &device, SPDRP_HARDWAREID, nullptr,
                                         reinterpret_cast<BYTE*>(buffer.data()),
                                         static_cast<DWORD>((buffer.size() - 2) * sizeof(wchar_t)), nullptr)) {
    return {};
  }
  std::vector<std::wstring> ids;
  for (const wchar_t* p = buffer.data(); *p != L'\0'; p += std::wcslen(p) + 1) ids.emplace_back(p);
  return ids;
}

std::vector<std::wstring> DevicesWhere(const std::function<bool(const std::vector<std::wstring>&)>& wanted) {
  std::vector<std::wstring> found;
  const List list(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
  if (!list) return found;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(list.Get(), i, &device); ++i) {
    if (!wanted(HardwareIds(list.Get(), device))) continue;
    wchar_t id[MAX_DEVICE_ID_LEN] = {};
    if (CM_Get_Device_IDW(device.DevInst, id, MAX_DEVICE_ID_LEN, 0) == CR_SUCCESS) found.emplace_back(id);
  }
  return found;
}

}  // namespace

std::wstring CreateRootDevice(const std::vector<std::wstring>& hardwareIds) {
  std::wstring multi;
  for (const std::wstring& id : hardwareIds) multi += id + L'\0';
  multi += L'\0';
  const List list(SetupDiCreateDeviceInfoList(&kDisplayClass, nullptr));
  if (!list) return {};
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoW(list.Get(), L"Display", &kDisplayClass, nullptr, nullptr, DICD_GENERATE_ID, &device) ||
      !SetupDiSetDeviceRegistryPropertyW(list.Get(), &device, SPDRP_HARDWAREID,
                                         reinterpret_cast<const BYTE*>(multi.data()),
                                         static_cast<DWORD>(multi.size() * sizeof(wchar_t))) ||
      !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list.Get(), &device)) {
    return {};
  }
  wchar_t id[MAX_DEVICE_ID_LEN] = {};
  if (CM_Get_Device_IDW(device.DevInst, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return {};
  return id;
}

bool SetDriverKeyInfPath(const std::wstring& instanceId, const std::vector<unsigned char>& bytes) {
  const List list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!list) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (!SetupDiOpenDeviceInfoW(list.Get(), instanceId.c_str(), nullptr, 0, &device)) return false;
  const HKEY key = SetupDiCreateDevRegKeyW(list.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, nullptr, nullptr);
  if (key == INVALID_HANDLE_VALUE) return false;
  const auto setValue = reinterpret_cast<NtSetValueKeyFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtSetValueKey")));
  wchar_t valueName[] = L"InfPath";
  UNICODE_STRING name{};
  name.Buffer = valueName;
  name.Length = static_cast<USHORT>((std::size(valueName) - 1) * sizeof(wchar_t));
  name.MaximumLength = static_cast<USHORT>(sizeof valueName);
  std::vector<unsigned char> data = bytes;
  const LONG status =
      setValue == nullptr ? -1 : setValue(key, &name, 0, REG_SZ, data.data(), static_cast<ULONG>(data.size()));
  RegCloseKey(key);
  return status == 0;
}

bool RemoveDevice(const std::wstring& instanceId) {
  const List list(SetupDiCreateDeviceInfoList(nullptr, nullptr));
  if (!list) return false;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  return SetupDiOpenDeviceInfoW(list.Get(), instanceId.c_str(), nullptr, 0, &device) &&
         SetupDiCallClassInstaller(DIF_REMOVE, list.Get(), &device);
}

std::vector<std::wstring> DevicesWithHardwareId(const std::wstring& id) {
  return DevicesWhere([&](const std::vector<std::wstring>& ids) {
    for (const std::wstring& entry : ids) {
      if (_wcsicmp(entry.c_str(), id.c_str()) == 0) return true;
    }
    return false;
  });
}

std::vector<std::wstring> DevicesWithHardwareIds(const std::vector<std::wstring>& hardwareIds) {
  return DevicesWhere([&](const std::vector<std::wstring>& ids) { return ids == hardwareIds; });
}

}  // namespace kelm::devctl::test
