#pragma once
// The active displays of the PC, as Windows' display configuration lists them.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelm {

struct DisplayInfo {
  std::wstring deviceName;   // GDI source name, such as "\\.\DISPLAY1"
  std::wstring monitorName;  // the monitor's friendly name, else the device name
  RECT rect{};               // position and size of the current mode
  bool primary = false;      // the mode sits at (0, 0)
  bool isVirtual = false;    // one of our virtual monitors
};

// Our virtual monitors carry these EDID identifiers.
inline constexpr uint16_t kVirtualMonitorManufacturer = 0x2D8D;
inline constexpr uint16_t kVirtualMonitorProduct = 0x5C2E;

// The manufacturer id is accepted in either byte order.
constexpr bool IsVirtualMonitorEdid(bool idsValid, uint16_t manufacturer, uint16_t product) {
  const uint16_t swapped = static_cast<uint16_t>((manufacturer >> 8) | (manufacturer << 8));
  return idsValid && (manufacturer == kVirtualMonitorManufacturer || swapped == kVirtualMonitorManufacturer) &&
         product == kVirtualMonitorProduct;
}

// Active paths and modes of the current configuration, the query repeated while the
// buffers turn out too small (at most 5 times); false when it fails.
bool QueryActiveDisplayConfig(std::vector<DISPLAYCONFIG_PATH_INFO>& paths,
                              std::vector<DISPLAYCONFIG_MODE_INFO>& modes);

// The GDI device name of a path's source, such as "\\.\DISPLAY1"; empty when unknown.
std::wstring GetSourceDeviceName(const LUID& adapter, UINT32 sourceId);
// The name record of a path's target; false when Windows gives none.
bool GetTargetName(const DISPLAYCONFIG_PATH_INFO& path, DISPLAYCONFIG_TARGET_DEVICE_NAME& name);
// Whether a path's target is one of our virtual monitors.
bool IsVirtualTarget(const DISPLAYCONFIG_PATH_INFO& path);
// Case-insensitive, as Windows compares device names and paths.
bool SameDeviceName(const std::wstring& a, const std::wstring& b);

// One entry per active source in Windows' order; clones are listed once.
std::vector<DisplayInfo> EnumerateDisplays();

}  // namespace kelm
