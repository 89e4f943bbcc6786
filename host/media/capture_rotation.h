#pragma once
// Which rotation the captured image needs, from what duplication reports.
#include <cstdint>

namespace kelm {

// A display's rotation, clockwise, with the values of DXGI_MODE_ROTATION, so that code
// without a Windows header (the CPU converter) shares the type.
enum class DisplayRotation : uint32_t {
  Unspecified = 0,
  Identity = 1,
  Rotate90 = 2,
  Rotate180 = 3,
  Rotate270 = 4,
};

// A quarter turn swaps the image's width and height.
constexpr bool IsQuarterTurn(DisplayRotation rotation) {
  return rotation == DisplayRotation::Rotate90 || rotation == DisplayRotation::Rotate270;
}

// Some drivers report 90 or 270 degrees for an image that is already upright; the
// desktop rectangle having the mode's own width and height gives that away.
// An unspecified rotation is taken as identity.
constexpr DisplayRotation RotationToUse(DisplayRotation reported, int64_t desktopWidth, int64_t desktopHeight,
                                        uint32_t modeWidth, uint32_t modeHeight) {
  if (reported == DisplayRotation::Unspecified) return DisplayRotation::Identity;
  if (IsQuarterTurn(reported) && desktopWidth == modeWidth && desktopHeight == modeHeight) {
    return DisplayRotation::Identity;
  }
  return reported;
}

}  // namespace kelm
