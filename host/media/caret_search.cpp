// Change analysis and candidate matching of the blinking-caret search.
#include "media/caret_search.h"

#include <algorithm>
#include <cstdlib>

#include "core/log.h"

namespace kelm {
namespace {

constexpr int kChangeThreshold = 60;        // |dB| + |dG| + |dR|
constexpr uint32_t kMaxCaretWidth = 6;
constexpr uint32_t kMinCaretHeight = 8;
constexpr uint32_t kMaxCaretHeight = 90;
constexpr size_t kMaxPointsPerFrame = 2;
constexpr size_t kMaxChangedPixels = 1500;
constexpr int32_t kMatchDx = 4;             // exclusive
constexpr int32_t kMatchDy = 9;             // exclusive
constexpr uint64_t kMinBlinkMicros = 200000;
constexpr uint64_t kMaxBlinkMicros = 1300000;
constexpr size_t kCandidateLimit = 257;
constexpr size_t kCandidatesDropped = 128;

constexpr uint8_t kUnchanged = 0;
constexpr uint8_t kChanged = 1;
constexpr uint8_t kVisited = 2;

struct Blob {
  uint32_t left, top, right, bottom;
  size_t pixels;
};

Blob FloodFill(std::vector<uint8_t>& mask, uint32_t w, uint32_t h, uint32_t startX, uint32_t startY,
               std::vector<uint32_t>& stack) {
  Blob b{startX, startY, startX, startY, 0};
  stack.clear();
  stack.push_back(startY * w + startX);
  mask[startY * w + startX] = kVisited;
  while (!stack.empty()) {
    const uint32_t at = stack.back();
    stack.pop_back();
    const uint32_t x = at % w;
    const uint32_t y = at / w;
    ++b.pixels;
    b.left = std::min(b.left, x);
    b.right = std::max(b.right, x);
    b.top = std::min(b.top, y);
    b.bottom = std::max(b.bottom, y);
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        const int64_t nx = int64_t{x} + dx;
        const int64_t ny = int64_t{y} + dy;
        if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
        const size_t n = static_cast<size_t>(ny) * w + static_cast<size_t>(nx);
        if (mask[n] == kChanged) {
          mask[n] = kVisited;
          stack.push_back(static_cast<uint32_t>(n));
        }
      }
    }
  }
  return b;
}

}  // namespace

std::vector<ChangePoint> FindCaretChanges(std::span<const uint8_t> previous, std::span<const uint8_t> current,
                                          uint32_t width, uint32_t height, std::vector<uint8_t>& mask,
                                          bool verbose, int32_t originX, int32_t originY) {
  std::vector<ChangePoint> points;
  const size_t count = size_t{width} * height;
  if (previous.size() < count * 4 || current.size() < count * 4) return points;
  mask.assign(count, kUnchanged);
  size_t changed = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* a = &previous[i * 4];
    const uint8_t* b = &current[i * 4];
    const int diff = std::abs(a[0] - b[0]) + std::abs(a[1] - b[1]) + std::abs(a[2] - b[2]);
    if (diff > kChangeThreshold) {
      mask[i] = kChanged;
      ++changed;
    }
  }
  if (changed == 0) return points;

  std::vector<uint32_t> stack;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      if (mask[size_t{y} * width + x] != kChanged) continue;
      const Blob b = FloodFill(mask, width, height, x, y, stack);
      const uint32_t bw = b.right - b.left + 1;
      const uint32_t bh = b.bottom - b.top + 1;
      const bool caretLike = bw <= kMaxCaretWidth && bh >= kMinCaretHeight && bh <= kMaxCaretHeight &&
                             uint64_t{b.pixels} * 10 >= uint64_t{bw} * bh * 6;
      if (verbose && b.pixels >= 4) {
        LogDebug("change: {}x{} ({} px) at ({},{}){}", bw, bh, b.pixels, originX + static_cast<int32_t>(b.left),
                 originY + static_cast<int32_t>(b.top), caretLike ? "  <- caret-like" : "");
      }
      if (caretLike) {
        points.push_back({static_cast<int32_t>((b.left + b.right) / 2), static_cast<int32_t>((b.top + b.bottom) / 2)});
      }
    }
  }
  if (points.size() > kMaxPointsPerFrame || changed > kMaxChangedPixels) points.clear();
  return points;
}

void CaretSearch::Arm(BandRect region, uint64_t now, uint64_t timeoutMicros) {
  region_ = region;
  regionWidth_ = static_cast<uint32_t>(std::max<int64_t>(int64_t{region.right} - region.left, 0));
  regionHeight_ = static_cast<uint32_t>(std::max<int64_t>(int64_t{region.bottom} - region.top, 0));
  armed_ = regionWidth_ >= 1 && regionHeight_ >= 1;
  deadline_ = now + timeoutMicros;
  hasPrevious_ = false;
  candidates_.clear();
}

bool CaretSearch::ClipTo(uint32_t frameWidth, uint32_t frameHeight) {
  const int64_t right = std::min<int64_t>(frameWidth, region_.right);
  const int64_t bottom = std::min<int64_t>(frameHeight, region_.bottom);
  // A band starting left of or above the frame cannot be read either.
  if (right <= region_.left || bottom <= region_.top || region_.left < 0 || region_.top < 0) return false;
  regionWidth_ = static_cast<uint32_t>(right - region_.left);
  regionHeight_ = static_cast<uint32_t>(bottom - region_.top);
  return true;
}

std::span<uint8_t> CaretSearch::BandPixels() {
  current_.resize(size_t{regionWidth_} * regionHeight_ * 4);
  return current_;
}

int CaretSearch::OnBand(uint64_t now) {
  if (!armed_) return kCaretNotArmed;
  if (hasPrevious_ && previous_.size() == current_.size()) {
    const auto points = FindCaretChanges(previous_, current_, regionWidth_, regionHeight_, changeMask_, verbose,
                                         region_.left, region_.top);
    for (const ChangePoint& p : points) {
      const bool repeats = std::any_of(candidates_.begin(), candidates_.end(), [&](const CaretCandidate& c) {
        const uint64_t age = now - c.time;
        return std::abs(c.x - p.x) < kMatchDx && std::abs(c.y - p.y) < kMatchDy && age >= kMinBlinkMicros &&
               age <= kMaxBlinkMicros;
      });
      if (repeats) {
        foundX_ = region_.left + p.x;
        foundY_ = region_.top + p.y;
        armed_ = false;
        return kCaretFound;
      }
      candidates_.push_back({p.x, p.y, now});
    }
    if (candidates_.size() >= kCandidateLimit) {
      candidates_.erase(candidates_.begin(), candidates_.begin() + kCandidatesDropped);
    }
  }
  previous_.swap(current_);
  hasPrevious_ = true;
  return CheckTimeout(now);
}

int CaretSearch::CheckTimeout(uint64_t now) {
  if (!armed_) return kCaretNotArmed;
  if (now < deadline_) return kCaretLooking;
  armed_ = false;
  return kCaretTimedOut;
}

}  // namespace kelm
