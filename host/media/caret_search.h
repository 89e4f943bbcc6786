#pragma once
// The blinking-caret search on read-back bands of the screen, without any graphics
// API: the band's pixels come in, found / still looking / timed out goes out.
#include <cstdint>
#include <span>
#include <vector>

namespace kelm {

// Output pixels, right and bottom exclusive.
struct BandRect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

inline constexpr int kCaretNotArmed = 0;
inline constexpr int kCaretLooking = 1;
inline constexpr int kCaretFound = 2;
inline constexpr int kCaretTimedOut = 3;

struct CaretCandidate {
  int32_t x = 0;
  int32_t y = 0;
  uint64_t time = 0;
};

struct ChangePoint {
  int32_t x = 0;
  int32_t y = 0;
  bool operator==(const ChangePoint&) const = default;
};

// Centres (band coordinates) of caret-like changed blobs between two B8G8R8A8 bands
// of width x height pixels; empty when the change looks like scrolling, typing or
// animation. `mask` is scratch space. With `verbose` each blob is logged, offset by
// (originX, originY).
std::vector<ChangePoint> FindCaretChanges(std::span<const uint8_t> previous, std::span<const uint8_t> current,
                                          uint32_t width, uint32_t height, std::vector<uint8_t>& mask,
                                          bool verbose = false, int32_t originX = 0, int32_t originY = 0);

class CaretSearch {
 public:
  bool verbose = false;

  void Arm(BandRect region, uint64_t now, uint64_t timeoutMicros);
  bool Armed() const { return armed_; }
  const BandRect& Region() const { return region_; }

  // Clips the armed band to a frame of the given size; false when nothing is left.
  // The clipped size is what the next band must have.
  bool ClipTo(uint32_t frameWidth, uint32_t frameHeight);
  uint32_t BandWidth() const { return regionWidth_; }
  uint32_t BandHeight() const { return regionHeight_; }

  // Buffer for the clipped band's pixels, 4 x BandWidth() x BandHeight() bytes.
  std::span<uint8_t> BandPixels();
  // The band was read into BandPixels(): compare it with the previous one.
  int OnBand(uint64_t now);
  // The band could not be read: only the deadline is checked.
  int OnBandFailed(uint64_t now) { return CheckTimeout(now); }
  int CheckTimeout(uint64_t now);

  int32_t FoundX() const { return foundX_; }
  int32_t FoundY() const { return foundY_; }
  const std::vector<CaretCandidate>& Candidates() const { return candidates_; }

 private:
  std::vector<uint8_t> changeMask_;
  bool armed_ = false;
  BandRect region_;
  uint32_t regionWidth_ = 0;
  uint32_t regionHeight_ = 0;
  uint64_t deadline_ = 0;
  bool hasPrevious_ = false;
  std::vector<uint8_t> previous_;
  std::vector<uint8_t> current_;
  std::vector<CaretCandidate> candidates_;
  int32_t foundX_ = 0;
  int32_t foundY_ = 0;
};

}  // namespace kelm
