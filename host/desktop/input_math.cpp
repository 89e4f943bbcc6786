// Number conversions of injected input, kept to defined behaviour for any float.
#include "desktop/input_math.h"

#include <algorithm>
#include <cmath>

namespace kelm::input {

float ClampFinite(float v, float lo, float hi) {
  if (std::isnan(v)) {
    return lo;
  }
  return std::clamp(v, lo, hi);
}

std::optional<PixelPoint> MapFraction(const PixelRect& target, float fx, float fy) {
  if (!std::isfinite(fx) || !std::isfinite(fy)) {
    return std::nullopt;
  }
  const int64_t w = static_cast<int64_t>(target.right) - target.left;
  const int64_t h = static_cast<int64_t>(target.bottom) - target.top;
  // The product is taken in single precision; it may round above the extent for wide
  // rectangles, so it is bounded before the conversion to an integer.
  const auto offset = [](int64_t extent, float f) {
    const float product = static_cast<float>(extent) * std::clamp(f, 0.0f, 1.0f);
    return static_cast<int64_t>(std::min<double>(static_cast<double>(extent - 1), std::trunc(product)));
  };
  return PixelPoint{static_cast<int32_t>(target.left + offset(w, fx)), static_cast<int32_t>(target.top + offset(h, fy))};
}

int32_t RoundHalfAway(double v) {
  return static_cast<int32_t>(std::round(v));
}

int32_t PenPressure(float p) {
  const float c = ClampFinite(p, 0.0f, 1.0f);
  return std::max(static_cast<int32_t>(std::trunc(c * kPressureMax + 0.5f)), 1);
}

int32_t TouchPressure(float p) {
  const float used = (std::isnan(p) || !(p > 0.0f)) ? 0.5f : p;
  return PenPressure(used);
}

int32_t PenTilt(float degrees) {
  if (std::isnan(degrees)) {
    return 0;
  }
  return RoundHalfAway(std::clamp(degrees, -90.0f, 90.0f));
}

uint32_t PenRotation(float degrees) {
  if (!std::isfinite(degrees)) {
    return 0;
  }
  // Rounded and reduced in double: exact for every float, so no overflow on the way.
  double r = std::fmod(std::round(static_cast<double>(degrees)), 360.0);
  if (r < 0) {
    r += 360.0;
  }
  return static_cast<uint32_t>(r);
}

int32_t ContactHalf(int32_t targetWidth, float fraction) {
  if (std::isnan(fraction)) {
    return 2;
  }
  const double half = std::trunc(static_cast<double>(targetWidth) * fraction * 0.5);
  return static_cast<int32_t>(std::clamp(half, 2.0, 64.0));
}

int32_t WheelUnits(float notches) {
  return RoundHalfAway(static_cast<double>(notches) * kWheelDelta);
}

ScrollStep DragScroll(double remainder, float amount, int32_t targetExtent, uint32_t dpi, int sign) {
  const double pixelsPerNotch = static_cast<double>(std::max<uint32_t>(dpi, 96) * 50 / 96);
  const double total =
      remainder + sign * (static_cast<double>(amount) * targetExtent / pixelsPerNotch) * kWheelDelta;
  const double whole = std::trunc(total);
  return ScrollStep{static_cast<int32_t>(whole), total - whole};
}

}  // namespace kelm::input
