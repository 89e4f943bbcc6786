// Encoded-size arithmetic of the video pipeline.
#include "media/video_scale.h"

#include <algorithm>
#include <cmath>

namespace kelm {
namespace {

uint32_t Side(uint32_t source, double scale) {
  const double scaled = std::floor(static_cast<double>(source) * scale);
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
  double s = 1.0;
  if (mirror) s = std::min({1.0, targetWidth / w, targetHeight / h});
  if (remote) s = std::min({s, 1.0, kRemoteMaxLongSide / std::max(w, h), std::sqrt(kRemoteMaxPixels / (w * h))});
  s = std::min({s, kMaxEncodedSide / w, kMaxEncodedSide / h});
  return {Side(sourceWidth, s), Side(sourceHeight, s)};
}

}  // namespace kelm
