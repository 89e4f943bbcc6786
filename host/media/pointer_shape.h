#pragma once
// Converts a raw pointer shape (as desktop duplication reports it) into top-down
// B8G8R8A8 pixels, reading nothing outside the buffer it is given.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelm {

// Raw shape kinds, with the values desktop duplication uses.
inline constexpr uint32_t kPointerShapeMonochrome = 1;
inline constexpr uint32_t kPointerShapeColor = 2;
inline constexpr uint32_t kPointerShapeMaskedColor = 4;

struct PointerShapeInfo {
  uint32_t type = 0;
  uint32_t width = 0;
  uint32_t height = 0;  // monochrome: AND rows plus XOR rows
  uint32_t pitch = 0;   // bytes per row in the raw buffer
  int32_t hotX = 0;
  int32_t hotY = 0;
};

struct ConvertedPointer {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // 4 x width bytes per row, no padding
};

// Nothing when the shape is of an unknown kind or does not fit in `raw`.
std::optional<ConvertedPointer> ConvertPointerShape(const PointerShapeInfo& info,
                                                    std::span<const uint8_t> raw);

}  // namespace kelm
