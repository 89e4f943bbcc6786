// Lists the active displays through the display configuration API.
#include "media/display_enum.h"

#include <algorithm>

#include "media/display_config_api.h"

namespace kelm {
namespace {

constexpr int kQueryAttempts = 5;

}  // namespace

bool SameDeviceName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

bool QueryActiveDisplayConfig(std::vector<DISPLAYCONFIG_PATH_INFO>& paths,
                              std::vector<DISPLAYCONFIG_MODE_INFO>& modes) {
  const auto api = DisplayApi();
  for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
    UINT32 pathCount = 0;
    UINT32 modeCount = 0;
    if (api->GetBufferSizes(pathCount, modeCount) != ERROR_SUCCESS) return false;
    paths.assign(pathCount, DISPLAYCONFIG_PATH_INFO{});
    modes.assign(modeCount, DISPLAYCONFIG_MODE_INFO{});
    const LONG r = api->Query(pathCount, paths.data(), modeCount, modes.data());
    if (r == ERROR_INSUFFICIENT_BUFFER) continue;
    if (r != ERROR_SUCCESS) return false;
    paths.resize(std::min<size_t>(pathCount, paths.size()));
    modes.resize(std::min<size_t>(modeCount, modes.size()));
    return true;
  }
  return false;
}

std::wstring GetSourceDeviceName(const LUID& adapter, UINT32 sourceId) {
  DISPLAYCONFIG_SOURCE_DEVICE_NAME source{};
  source.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
  source.header.size = sizeof(source);
  source.header.adapterId = adapter;
  source.header.id = sourceId;
  if (DisplayApi()->GetDeviceInfo(source.header) != ERROR_SUCCESS) return {};
  const wchar_t* name = source.viewGdiDeviceName;
  return std::wstring(name, std::find(name, name + std::size(source.viewGdiDeviceName), L'\0'));
}

bool GetTargetName(const DISPLAYCONFIG_PATH_INFO& path, DISPLAYCONFIG_TARGET_DEVICE_NAME& target) {
  target = DISPLAYCONFIG_TARGET_DEVICE_NAME{};
  target.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME;
  target.header.size = sizeof(target);
  target.header.adapterId = path.targetInfo.adapterId;
  target.header.id = path.targetInfo.id;
  if (DisplayApi()->GetDeviceInfo(target.header) != ERROR_SUCCESS) return false;
  // Windows' answers end in a NUL; make sure of it before anyone reads them as strings.
  target.monitorFriendlyDeviceName[std::size(target.monitorFriendlyDeviceName) - 1] = L'\0';
  target.monitorDevicePath[std::size(target.monitorDevicePath) - 1] = L'\0';
  return true;
}

bool IsVirtualTarget(const DISPLAYCONFIG_PATH_INFO& path) {
  DISPLAYCONFIG_TARGET_DEVICE_NAME target;
  return GetTargetName(path, target) &&
         IsVirtualMonitorEdid(target.flags.edidIdsValid != 0, target.edidManufactureId, target.edidProductCodeId);
}

std::vector<DisplayInfo> EnumerateDisplays() {
  std::vector<DisplayInfo> displays;
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  if (!QueryActiveDisplayConfig(paths, modes)) return displays;
  const auto api = DisplayApi();

  for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
    DisplayInfo d;
    d.deviceName = GetSourceDeviceName(path.sourceInfo.adapterId, path.sourceInfo.id);
    if (d.deviceName.empty()) continue;
    // A clone shows one source on several targets: list the source once.
    if (std::any_of(displays.begin(), displays.end(),
                    [&](const DisplayInfo& o) { return SameDeviceName(o.deviceName, d.deviceName); })) {
      continue;
    }

    DISPLAYCONFIG_TARGET_DEVICE_NAME target;
    if (GetTargetName(path, target)) {
      d.monitorName = target.monitorFriendlyDeviceName;
      d.isVirtual = IsVirtualMonitorEdid(target.flags.edidIdsValid != 0, target.edidManufactureId,
                                         target.edidProductCodeId);
    }
    if (d.monitorName.empty()) d.monitorName = d.deviceName;

    DEVMODEW mode{};
    if (api->CurrentMode(d.deviceName, mode)) {
      const LONG x = mode.dmPosition.x;
      const LONG y = mode.dmPosition.y;
      d.rect = RECT{x, y, x + static_cast<LONG>(mode.dmPelsWidth), y + static_cast<LONG>(mode.dmPelsHeight)};
      d.primary = x == 0 && y == 0;
    }
    displays.push_back(std::move(d));
  }
  return displays;
}

}  // namespace kelm
