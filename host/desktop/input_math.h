#pragma once
// Number conversions of injected input: fractions to pixels, pen and touch values, wheel
// amounts. Free of Windows headers; every float from the device may be NaN or huge.
#include <cstdint>
#include <optional>

namespace kelm::input {

struct PixelPoint {
  int32_t x = 0;
  int32_t y = 0;
  bool operator==(const PixelPoint&) const = default;
};

struct PixelRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
  bool operator==(const PixelRect&) const = default;
};

inline constexpr int32_t kPressureMax = 1024;
inline constexpr int32_t kWheelDelta = 120;

// Clamps to lo..hi; NaN becomes lo.
float ClampFinite(float v, float lo, float hi);

// Fraction pair onto the target rectangle (products in single precision, truncated);
// never leaves left..right-1 and top..bottom-1. No value for a non-finite fraction.
std::optional<PixelPoint> MapFraction(const PixelRect& target, float fx, float fy);

// Round half away from zero, for values already bounded to the int32 range.
int32_t RoundHalfAway(double v);

// Pen pressure in contact: 1..1024; NaN counts as 0.
int32_t PenPressure(float p);
// Touch pressure: a value not greater than 0 (or NaN) counts as 0.5; 1..1024.
int32_t TouchPressure(float p);
// Degrees -90..90 rounded; NaN is 0.
int32_t PenTilt(float degrees);
// Degrees reduced to 0..359; a non-finite value is 0.
uint32_t PenRotation(float degrees);
// Half the contact size in pixels from a fraction of the target width: 2..64.
int32_t ContactHalf(int32_t targetWidth, float fraction);

// Wheel notches (already clamped to -20..20) in wheel units, rounded.
int32_t WheelUnits(float notches);

// Drag scroll: turns a drag distance into wheel units, carrying the fraction.
struct ScrollStep {
  int32_t units = 0;
  double remainder = 0;
};
// `sign` is +1 for vertical (content follows the finger) and -1 for horizontal.
ScrollStep DragScroll(double remainder, float amount, int32_t targetExtent, uint32_t dpi, int sign);

}  // namespace kelm::input
