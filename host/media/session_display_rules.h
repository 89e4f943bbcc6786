#pragma once
// The session display's arithmetic: the virtual monitor's size, the automatic scale,
// the size for an orientation, the mode and the mirrored display's index.
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace kelm {

inline constexpr uint8_t kDisplayModeExtend = 0;
inline constexpr uint8_t kDisplayModeMirror = 1;

// Anything but mirror is extend, and is treated as extend everywhere.
constexpr uint8_t NormalisedDisplayMode(uint8_t helloMode) {
  return helloMode == kDisplayModeMirror ? kDisplayModeMirror : kDisplayModeExtend;
}

// A mirror index past the end takes the last display; `count` is at least 1.
constexpr size_t MirrorDisplayIndex(uint8_t wanted, size_t count) { return std::min<size_t>(wanted, count - 1); }

inline constexpr uint32_t kMinVirtualWidth = 640;
inline constexpr uint32_t kMaxVirtualWidth = 7680;
inline constexpr uint32_t kMinVirtualHeight = 480;
inline constexpr uint32_t kMaxVirtualHeight = 4320;

// One side of the virtual monitor: the wanted size, else the panel's; raised to the
// minimum, otherwise made even; capped.
constexpr uint32_t VirtualMonitorSide(uint16_t wanted, uint16_t panel, uint32_t minimum, uint32_t maximum) {
  uint32_t side = wanted != 0 ? wanted : panel;
  side = side < minimum ? minimum : (side & ~1u);
  return std::min(side, maximum);
}

struct MonitorSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const MonitorSize&) const = default;
};

constexpr MonitorSize VirtualMonitorSize(uint16_t displayWidth, uint16_t displayHeight, uint16_t panelWidth,
                                         uint16_t panelHeight) {
  return {VirtualMonitorSide(displayWidth, panelWidth, kMinVirtualWidth, kMaxVirtualWidth),
          VirtualMonitorSide(displayHeight, panelHeight, kMinVirtualHeight, kMaxVirtualHeight)};
}

// The scale a device's density asks for: dpi x 60 / 160, at least 100 percent.
constexpr int32_t AutomaticScalePercent(uint16_t dpi) { return std::max<int32_t>(dpi * 60 / 160, 100); }

// The base size turned to the device's orientation.
constexpr MonitorSize OrientedSize(MonitorSize base, bool portrait) {
  const uint32_t shorter = std::min(base.width, base.height);
  const uint32_t longer = std::max(base.width, base.height);
  return portrait ? MonitorSize{shorter, longer} : MonitorSize{longer, shorter};
}

}  // namespace kelm
