// Installs, removes and reports the virtual display driver's root devices.
#include "devctl/driver_tool.h"

#include <newdev.h>

#include <array>
#include <cwchar>
#include <format>

#include "devctl/seam_owners.h"

namespace kelm::devctl {
namespace {

// GetFullPathNameW's buffer; a full path that needs more counts as not found.
constexpr DWORD kPathChars = 260;
// The class name SetupDiGetINFClassW may fill.
constexpr DWORD kClassNameChars = 32;
// SPDRP_HARDWAREID is read with 4 bytes of the buffer held back, so the list always
// ends in two NULs however the property was written.
constexpr DWORD kHardwareIdBufferBytes = 2048;
constexpr DWORD kHardwareIdOfferedBytes = 2044;
// "InfPath" is read with one character held back, so a value that fills the offer
// without its own NUL still ends in one.
constexpr DWORD kInfPathBufferBytes = 520;
constexpr DWORD kInfPathOfferedBytes = 518;
// CM_Get_Device_IDW's buffer.
constexpr ULONG kDeviceIdChars = 200;

// UpdateDriverForPlugAndPlayDevicesW's answers when the package's signature is not
// trusted: no signature, an untrusted root, publisher trust not established.
constexpr uint32_t kNoSignature = 0x800B0100;
constexpr uint32_t kUntrustedRoot = 0x800B0109;
constexpr uint32_t kTrustNotEstablished = 0xE0000242;

constexpr std::wstring_view kTrustHint =
    L"The driver signature is not trusted. Run scripts\\install-driver.ps1, which installs the test certificate, "
    L"and enable test signing if required.\n";

// The hardware id as SPDRP_HARDWAREID takes it: the id, its NUL and the list's NUL.
constexpr auto kHardwareIdMultiString = [] {
  std::array<wchar_t, kHardwareId.size() + 2> text{};
  for (size_t i = 0; i < kHardwareId.size(); ++i) text[i] = kHardwareId[i];
  return text;
}();
static_assert(sizeof kHardwareIdMultiString == 30);

std::wstring Widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool IsCommand(std::wstring_view arg, const wchar_t* command) {
  return _wcsicmp(std::wstring(arg).c_str(), command) == 0;
}

}  // namespace

std::wstring SystemMessage(uint32_t code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (buffer != nullptr) {
    text.assign(buffer, n);
    LocalFree(buffer);
  }
  return text;
}

void DriverTool::PrintError(std::string_view operation, uint32_t code) {
  output_.Err(std::format(L"{} failed: 0x{:08X} {}\n", Widen(operation), code, SystemMessage(code)));
}

bool DriverTool::MatchesHardwareId(HDEVINFO list, SP_DEVINFO_DATA& device) {
  std::array<wchar_t, kHardwareIdBufferBytes / sizeof(wchar_t)> ids{};
  if (!calls_.GetDeviceRegistryProperty(list, &device, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids.data()),
                                        kHardwareIdOfferedBytes, nullptr)) {
    return false;
  }
  const std::wstring id(kHardwareId);
  for (const wchar_t* entry = ids.data(); *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    if (_wcsicmp(entry, id.c_str()) == 0) return true;
  }
  return false;
}

template <typename Visit>
bool DriverTool::ForEachMatchingDevice(Visit&& visit) {
  const DeviceInfoList list(calls_, calls_.GetClassDevs(DIGCF_ALLCLASSES));
  if (!list) return false;
  for (DWORD index = 0;; ++index) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!calls_.EnumDeviceInfo(list.Get(), index, &device)) break;
    if (MatchesHardwareId(list.Get(), device)) visit(list.Get(), device);
  }
  return true;
}

int DriverTool::CountMatchingDevices() {
  int count = 0;
  ForEachMatchingDevice([&](HDEVINFO, SP_DEVINFO_DATA&) { ++count; });
  return count;
}

bool DriverTool::CreateDeviceNode(const std::wstring& fullPath) {
  GUID classGuid{};
  std::array<wchar_t, kClassNameChars> className{};
  if (!calls_.GetInfClass(fullPath.c_str(), &classGuid, className.data(), kClassNameChars, nullptr)) {
    PrintError("SetupDiGetINFClass", GetLastError());
    return false;
  }
  // Destroying the list also drops an element that was never registered.
  const DeviceInfoList list(calls_, calls_.CreateDeviceInfoList(&classGuid));
  if (!list) {
    PrintError("SetupDiCreateDeviceInfoList", GetLastError());
    return false;
  }
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  if (!calls_.CreateDeviceInfo(list.Get(), className.data(), &classGuid, nullptr, DICD_GENERATE_ID, &device)) {
    PrintError("SetupDiCreateDeviceInfo", GetLastError());
    return false;
  }
  if (!calls_.SetDeviceRegistryProperty(list.Get(), &device, SPDRP_HARDWAREID,
                                        reinterpret_cast<const BYTE*>(kHardwareIdMultiString.data()),
                                        sizeof kHardwareIdMultiString)) {
    PrintError("SetupDiSetDeviceRegistryProperty", GetLastError());
    return false;
  }
  if (!calls_.CallClassInstaller(DIF_REGISTERDEVICE, list.Get(), &device)) {
    PrintError("DIF_REGISTERDEVICE", GetLastError());
    return false;
  }
  output_.Out(std::format(L"Created device node {}\n", kHardwareId));
  return true;
}

int DriverTool::InstallDriver(std::wstring_view infPath) {
  const std::wstring given(infPath);
  std::array<wchar_t, kPathChars> full{};
  const DWORD length = GetFullPathNameW(given.c_str(), kPathChars, full.data(), nullptr);
  // A result of kPathChars or more is the size a longer path needs; the buffer is untouched.
  if (length == 0 || length >= kPathChars || GetFileAttributesW(full.data()) == INVALID_FILE_ATTRIBUTES) {
    output_.Err(std::format(L"INF not found: {}\n", given));
    return kExitFailed;
  }
  const std::wstring fullPath(full.data(), length);

  if (CountMatchingDevices() == 0) {
    if (!CreateDeviceNode(fullPath)) return kExitFailed;
  } else {
    output_.Out(L"Device node already exists, updating driver\n");
  }

  BOOL reboot = FALSE;
  const std::wstring id(kHardwareId);
  if (!calls_.UpdateDriver(id.c_str(), fullPath.c_str(), INSTALLFLAG_FORCE, &reboot)) {
    const uint32_t error = GetLastError();
    PrintError("UpdateDriverForPlugAndPlayDevices", error);
    if (error == kNoSignature || error == kUntrustedRoot || error == kTrustNotEstablished) output_.Err(kTrustHint);
    return kExitFailed;
  }
  output_.Out(std::format(L"Driver installed{}\n", reboot ? L" (a reboot is required)" : L""));
  return kExitOk;
}

int DriverTool::RemoveDevices(std::vector<std::wstring>& infNames, int& removed) {
  int matching = 0;
  ForEachMatchingDevice([&](HDEVINFO list, SP_DEVINFO_DATA& device) {
    ++matching;
    const DeviceKey key(calls_, calls_.OpenDevRegKey(list, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
    if (key) {
      std::array<wchar_t, kInfPathBufferBytes / sizeof(wchar_t)> infPath{};
      DWORD size = kInfPathOfferedBytes;
      if (calls_.QueryValue(key.Get(), L"InfPath", nullptr, reinterpret_cast<BYTE*>(infPath.data()), &size) ==
          ERROR_SUCCESS) {
        infNames.emplace_back(infPath.data());
      }
    }
    if (calls_.UninstallDevice(list, &device, 0, nullptr)) {
      ++removed;
    } else {
      PrintError("DiUninstallDevice", GetLastError());
    }
  });
  return matching;
}

int DriverTool::UninstallDriver() {
  std::vector<std::wstring> infNames;
  int removed = 0;
  RemoveDevices(infNames, removed);
  output_.Out(std::format(L"Removed {} device(s)\n", removed));
  for (const std::wstring& name : infNames) {
    if (calls_.UninstallOemInf(name.c_str(), SUOI_FORCEDELETE)) {
      output_.Out(std::format(L"Removed driver package {}\n", name));
    } else {
      PrintError("SetupUninstallOEMInf", GetLastError());
    }
  }
  return kExitOk;
}

int DriverTool::ReportStatus() {
  int found = 0;
  ForEachMatchingDevice([&](HDEVINFO, SP_DEVINFO_DATA& device) {
    ++found;
    std::array<wchar_t, kDeviceIdChars> id{};
    calls_.GetDeviceId(device.DevInst, id.data(), kDeviceIdChars, 0);
    ULONG status = 0;
    ULONG problem = 0;
    const std::wstring_view name(id.data());
    if (calls_.GetDevNodeStatus(&status, &problem, device.DevInst, 0) != CR_SUCCESS) {
      output_.Out(std::format(L"{}: not present\n", name));
    } else if ((status & DN_HAS_PROBLEM) != 0) {
      output_.Out(std::format(L"{}: problem code {}{}\n", name, problem,
                              problem == CM_PROB_UNSIGNED_DRIVER
                                  ? L" (driver signature not trusted - enable test signing)"
                                  : L""));
    } else if ((status & DN_STARTED) != 0) {
      output_.Out(std::format(L"{}: running\n", name));
    } else {
      output_.Out(std::format(L"{}: installed, not started\n", name));
    }
  });
  if (found == 0) {
    output_.Out(L"tavro virtual display device is not installed\n");
    return kExitFailed;
  }
  return kExitOk;
}

int DriverTool::Run(std::span<const std::wstring_view> args) {
  if (args.size() >= 2 && IsCommand(args[0], L"install")) return InstallDriver(args[1]);
  if (!args.empty() && IsCommand(args[0], L"uninstall")) return UninstallDriver();
  if (!args.empty() && IsCommand(args[0], L"status")) return ReportStatus();
  output_.Err(kUsage);
  return kExitUsage;
}

}  // namespace kelm::devctl
