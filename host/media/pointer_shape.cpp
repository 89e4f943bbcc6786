// Raw pointer shape conversion; every read is checked against the buffer first.
#include "media/pointer_shape.h"

namespace kelm {
namespace {

constexpr uint8_t kOpaque = 0xFF;

void Put(std::vector<uint8_t>& pixels, size_t at, uint8_t b, uint8_t g, uint8_t r, uint8_t a) {
  pixels[at] = b;
  pixels[at + 1] = g;
  pixels[at + 2] = r;
  pixels[at + 3] = a;
}

bool FitsBuffer(const PointerShapeInfo& info, size_t size) {
  if (info.type == kPointerShapeMonochrome) {
    if (info.height % 2 != 0 || (uint64_t{info.width} + 7) / 8 > info.pitch) return false;
  } else if (info.type == kPointerShapeColor || info.type == kPointerShapeMaskedColor) {
    if (uint64_t{info.width} * 4 > info.pitch) return false;
  } else {
    return false;
  }
  return uint64_t{info.pitch} * info.height <= size;
}

bool MaskBit(std::span<const uint8_t> row, uint32_t x) {
  return (row[x / 8] & (0x80u >> (x % 8))) != 0;
}

void ConvertMonochrome(const PointerShapeInfo& info, std::span<const uint8_t> raw, ConvertedPointer& out) {
  for (uint32_t y = 0; y < out.height; ++y) {
    const auto andRow = raw.subspan(size_t{y} * info.pitch, info.pitch);
    const auto xorRow = raw.subspan(size_t{y + out.height} * info.pitch, info.pitch);
    for (uint32_t x = 0; x < out.width; ++x) {
      const size_t at = (size_t{y} * out.width + x) * 4;
      const bool andBit = MaskBit(andRow, x);
      const bool xorBit = MaskBit(xorRow, x);
      if (!andBit) {
        const uint8_t v = xorBit ? 0xFF : 0x00;
        Put(out.pixels, at, v, v, v, kOpaque);
      } else if (xorBit) {
        // Inverted screen cannot be shown on the device: draw it black.
        Put(out.pixels, at, 0, 0, 0, kOpaque);
      }
    }
  }
}

void ConvertColor(const PointerShapeInfo& info, std::span<const uint8_t> raw, ConvertedPointer& out) {
  for (uint32_t y = 0; y < out.height; ++y) {
    const auto row = raw.subspan(size_t{y} * info.pitch, size_t{out.width} * 4);
    for (uint32_t x = 0; x < out.width; ++x) {
      const size_t at = (size_t{y} * out.width + x) * 4;
      const uint8_t* p = &row[size_t{x} * 4];
      if (info.type == kPointerShapeColor) {
        Put(out.pixels, at, p[0], p[1], p[2], p[3]);
      } else if (p[3] == 0) {
        Put(out.pixels, at, p[0], p[1], p[2], kOpaque);
      } else if (p[0] != 0 || p[1] != 0 || p[2] != 0) {
        // A masked colour XORs the screen; black is the closest fixed colour.
        Put(out.pixels, at, 0, 0, 0, kOpaque);
      }
    }
  }
}

}  // namespace

std::optional<ConvertedPointer> ConvertPointerShape(const PointerShapeInfo& info,
                                                    std::span<const uint8_t> raw) {
  if (!FitsBuffer(info, raw.size())) return std::nullopt;
  ConvertedPointer out;
  out.width = info.width;
  out.height = info.type == kPointerShapeMonochrome ? info.height / 2 : info.height;
  out.pixels.assign(size_t{out.width} * out.height * 4, 0);
  if (info.type == kPointerShapeMonochrome) {
    ConvertMonochrome(info, raw, out);
  } else {
    ConvertColor(info, raw, out);
  }
  return out;
}

}  // namespace kelm
