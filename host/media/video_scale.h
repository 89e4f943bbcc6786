#pragma once
// The size a captured display is encoded at, from the device's wished size and the link.
#include <cstdint>

namespace kelm {

struct EncodedSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const EncodedSize&) const = default;
};

inline constexpr uint32_t kMinEncodedSide = 64;
inline constexpr uint32_t kMaxEncodedSide = 4096;
inline constexpr double kRemoteMaxLongSide = 1920.0;
inline constexpr double kRemoteMaxPixels = 2304000.0;

// A mirrored display is scaled down to the device's size; a remote session never streams
// more than 1920 on the long side or about 2.3 megapixels. Both sides are even and within
// 64..4096; a zero source gives 0 x 0.
EncodedSize ComputeEncodedSize(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth,
                               uint32_t targetHeight, bool mirror, bool remote);

// The lock screen is always scaled to the device, whatever the session's display mode.
inline EncodedSize ComputeLockScreenSize(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth,
                                         uint32_t targetHeight, bool remote) {
  return ComputeEncodedSize(sourceWidth, sourceHeight, targetWidth, targetHeight, true, remote);
}

}  // namespace kelm
