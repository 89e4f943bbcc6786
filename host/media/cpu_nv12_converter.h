#pragma once
// Stand-in for the GPU video processor where it is missing: scales and rotates a
// BGRA image to an NV12 picture on the CPU in one pass (BT.709 studio range).
#include <cstddef>
#include <cstdint>
#include <vector>

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

// Rotation of the source as the display reports it: 1 (or 0) none, 2 by 90 degrees,
// 3 by 180, 4 by 270, each clockwise. Shrinking uses a box filter, growing bilinear.
class CpuNv12Converter {
 public:
  // Plans the filter taps for one geometry; false for sizes it cannot handle.
  bool Prepare(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t rotation, uint32_t width, uint32_t height);
  // Converts one image of the prepared geometry; false when the views do not match it.
  bool Convert(const BgraView& source, const Nv12View& target);

 private:
  struct Tap {
    uint32_t index;  // input index along the axis (rotated image)
    int32_t weight;  // out of 256
  };
  struct Taps {
    std::vector<uint32_t> first;  // per output index, into `taps`; size n + 1
    std::vector<Tap> taps;
    bool single = true;           // every output index reads exactly one input
  };
  static Taps PlanAxis(uint32_t in, uint32_t out);
  void Plan(size_t pitch);
  void ConvertRowPair(const uint8_t* base, uint32_t row, const Nv12View& target);
  void HalveRowPair(const uint8_t* base, uint32_t row);
  void FilterRowPair(const uint8_t* base, uint32_t row);
  void EmitRowPair(uint32_t row, const Nv12View& target);
  bool ConvertDirect(const BgraView& source, const Nv12View& target);

  uint32_t sourceWidth_ = 0, sourceHeight_ = 0, rotation_ = 1, width_ = 0, height_ = 0;
  bool halves_ = false;  // an exact 2:1 shrink without rotation
  size_t plannedPitch_ = 0;
  Taps columns_, rows_;
  std::vector<int64_t> columnBytes_, rowBytes_;  // source offset of each rotated column / row
  std::vector<int32_t> line_[2];  // vertically filtered BGR, per rotated column
  std::vector<uint8_t> rgb_[2];   // one output row pair of RGB
};

}  // namespace kelm
