#pragma once
// Stand-in for the GPU video processor where it is missing: scales and rotates a
// BGRA image to an NV12 picture on the CPU in one pass (BT.709 studio range).
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/capture_rotation.h"

namespace kelm {

struct BgraView {
  const uint8_t* data = nullptr;
  size_t pitch = 0;  // bytes per row
  uint32_t width = 0, height = 0;
};

struct Nv12View {
  uint8_t* y = nullptr;
  size_t yPitch = 0;
  uint8_t* uv = nullptr;  // interleaved U, V at half resolution
  size_t uvPitch = 0;
  uint32_t width = 0, height = 0;  // even
};

// Rotation of the source as the display reports it (unspecified counts as none).
// Shrinking uses a box filter, growing bilinear.
class CpuNv12Converter {
 public:
  // Plans the filter taps for one geometry; false for sizes it cannot handle.
  bool Prepare(uint32_t sourceWidth, uint32_t sourceHeight, DisplayRotation rotation, uint32_t width,
               uint32_t height);
  // Converts one image of the prepared geometry; false when the views do not match it.
  bool Convert(const BgraView& source, const Nv12View& target);

 private:
  struct Tap {
    uint32_t index;  // input index along the axis (oriented image)
    int32_t weight;  // out of 256
  };
  struct Taps {
    std::vector<uint32_t> first;  // per output index, into `taps`; size n + 1
    std::vector<Tap> taps;
  };
  // Two horizontal taps of one output pixel: their weights side by side for each of
  // B, G, R and A, then where the taps start in the filtered line (in 16-bit lanes).
  struct alignas(16) TapPair {
    uint16_t weights[8];
    uint32_t offsets[2];
  };
  static Taps PlanAxis(uint32_t in, uint32_t out, bool flip);
  void PlanPairs();
  const uint8_t* OrientedRow(const BgraView& source, uint32_t index);
  void FilterRow(const BgraView& source, uint32_t row, uint8_t* bgra);
  void EmitRowPair(uint32_t row, const Nv12View& target);
  bool ConvertDirect(const BgraView& source, const Nv12View& target);

  uint32_t sourceWidth_ = 0, sourceHeight_ = 0, width_ = 0, height_ = 0;
  DisplayRotation rotation_ = DisplayRotation::Identity;
  uint32_t orientedWidth_ = 0;  // columns of the image the filters read
  // A quarter turn reads the source transposed (its columns as rows), so both filters
  // read rows front to back; the flips of every turn live in the tap indices.
  bool transpose_ = false;
  static constexpr size_t kTurnedGroups = 4;
  static constexpr uint32_t kTurnedColumns = 16;  // one cache line of a source row
  static constexpr uint32_t kNoGroup = UINT32_MAX;
  size_t turnedPitch_ = 0;
  std::vector<uint8_t> turned_;  // kTurnedGroups groups of kTurnedColumns transposed columns
  std::array<uint32_t, kTurnedGroups> turnedGroups_{};  // which group each slot holds
  Taps columns_, rows_;
  std::vector<uint32_t> pairsFirst_;  // per output column, into `pairs_`; size width + 1
  std::vector<TapPair> pairs_;
  std::vector<uint16_t> line_;    // one vertically filtered row, four lanes per column
  std::vector<uint8_t> bgra_[2];  // one output row pair, BGRA
};

}  // namespace kelm
