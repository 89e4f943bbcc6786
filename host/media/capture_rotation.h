#pragma once
// Which rotation the captured image needs, from what duplication reports.
#include <cstdint>

namespace kelm {

// DXGI's rotation values.
inline constexpr uint32_t kRotationUnspecified = 0;
inline constexpr uint32_t kRotationIdentity = 1;
inline constexpr uint32_t kRotation90 = 2;
inline constexpr uint32_t kRotation180 = 3;
inline constexpr uint32_t kRotation270 = 4;

// Some drivers report 90 or 270 degrees for an image that is already upright; the
// desktop rectangle having the mode's own width and height gives that away.
// An unspecified rotation is taken as identity.
constexpr uint32_t RotationToUse(uint32_t reported, int64_t desktopWidth, int64_t desktopHeight,
                                 uint32_t modeWidth, uint32_t modeHeight) {
  if (reported == kRotationUnspecified) return kRotationIdentity;
  if ((reported == kRotation90 || reported == kRotation270) && desktopWidth == modeWidth &&
      desktopHeight == modeHeight) {
    return kRotationIdentity;
  }
  return reported;
}

}  // namespace kelm
