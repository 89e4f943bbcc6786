// Lists the active displays through the display configuration API.
#include "media/display_enum.h"

#include <algorithm>

namespace kelm {
namespace {

constexpr int kQueryAttempts = 5;

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

}  // namespace

bool QueryActiveDisplayConfig(std::vector<DISPLAYCONFIG_PATH_INFO>& paths,
                              std::vector<DISPLAYCONFIG_MODE_INFO>& modes) {
  for (int attempt = 0; attempt < kQueryAttempts; ++attempt) {
    UINT32 pathCount = 0;
    UINT32 modeCount = 0;
    if (GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &pathCount, &modeCount) != ERROR_SUCCESS) return false;
    paths.assign(pathCount, DISPLAYCONFIG_PATH_INFO{});
    modes.assign(modeCount, DISPLAYCONFIG_MODE_INFO{});
    const LONG r = QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &pathCount, paths.data(), &modeCount, modes.data(),
                                      nullptr);
    if (r == ERROR_INSUFFICIENT_BUFFER) continue;
    if (r != ERROR_SUCCESS) return false;
    paths.resize(pathCount);
    modes.resize(modeCount);
    return true;
  }
  return false;
}

std::vector<DisplayInfo> EnumerateDisplays() {
  std::vector<DisplayInfo> displays;
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  if (!QueryActiveDisplayConfig(paths, modes)) return displays;

  for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
    DISPLAYCONFIG_SOURCE_DEVICE_NAME source{};
    source.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
    source.header.size = sizeof(source);
    source.header.adapterId = path.sourceInfo.adapterId;
    source.header.id = path.sourceInfo.id;
    if (DisplayConfigGetDeviceInfo(&source.header) != ERROR_SUCCESS) continue;
    DisplayInfo d;
    d.deviceName = source.viewGdiDeviceName;
    // A clone shows one source on several targets: list the source once.
    if (std::any_of(displays.begin(), displays.end(),
                    [&](const DisplayInfo& o) { return SameName(o.deviceName, d.deviceName); })) {
      continue;
    }

    DISPLAYCONFIG_TARGET_DEVICE_NAME target{};
    target.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME;
    target.header.size = sizeof(target);
    target.header.adapterId = path.targetInfo.adapterId;
    target.header.id = path.targetInfo.id;
    if (DisplayConfigGetDeviceInfo(&target.header) == ERROR_SUCCESS) {
      d.monitorName = target.monitorFriendlyDeviceName;
      d.isVirtual = IsVirtualMonitorEdid(target.flags.edidIdsValid != 0, target.edidManufactureId,
                                         target.edidProductCodeId);
    }
    if (d.monitorName.empty()) d.monitorName = d.deviceName;

    DEVMODEW mode{};
    mode.dmSize = sizeof(mode);
    if (EnumDisplaySettingsExW(d.deviceName.c_str(), ENUM_CURRENT_SETTINGS, &mode, 0)) {
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
