// Encoded-size arithmetic of the video pipeline.
#include "media/video_scale.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace kelm {
namespace {

// One bound on the scale factor. Most are a ratio limit / side, kept as integers so that
// the side it binds comes out as the limit itself, not one less after rounding.
struct Factor {
  double value;
  uint64_t numerator = 0;  // 0: no exact ratio (the pixel-count bound)
  uint64_t denominator = 1;
};

Factor Ratio(uint64_t numerator, uint64_t denominator) {
  return {static_cast<double>(numerator) / static_cast<double>(denominator), numerator, denominator};
}

uint32_t Side(uint32_t source, const Factor& s) {
  const double scaled = s.numerator != 0 ? static_cast<double>(uint64_t{source} * s.numerator / s.denominator)
                                         : std::floor(static_cast<double>(source) * s.value);
  const double bounded = std::clamp(scaled, static_cast<double>(kMinEncodedSide), static_cast<double>(kMaxEncodedSide));
  return static_cast<uint32_t>(bounded) & ~1u;
}

}  // namespace

EncodedSize ComputeEncodedSize(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t targetWidth,
                               uint32_t targetHeight, bool mirror, bool remote) {
  // Nothing captured yet: no ratio can be formed, and no stream size is meaningful.
  if (sourceWidth == 0 || sourceHeight == 0) return {};
  const double w = sourceWidth;
  const double h = sourceHeight;
  std::vector<Factor> bounds{Ratio(1, 1), Ratio(static_cast<uint64_t>(kMaxEncodedSide), sourceWidth),
                             Ratio(static_cast<uint64_t>(kMaxEncodedSide), sourceHeight)};
  if (mirror) {
    bounds.push_back(Ratio(targetWidth, sourceWidth));
    bounds.push_back(Ratio(targetHeight, sourceHeight));
  }
  if (remote) {
    bounds.push_back(Ratio(static_cast<uint64_t>(kRemoteMaxLongSide), std::max(sourceWidth, sourceHeight)));
    bounds.push_back(Factor{std::sqrt(kRemoteMaxPixels / (w * h))});
  }
  // The first of equal bounds wins, and the exact ratios come first.
  const Factor s = *std::min_element(bounds.begin(), bounds.end(),
                                     [](const Factor& a, const Factor& b) { return a.value < b.value; });
  return {Side(sourceWidth, s), Side(sourceHeight, s)};
}

}  // namespace kelm
