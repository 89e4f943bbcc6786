// Portable layout of the 32-bpp device-independent bitmaps put on the clipboard.
#include "desktop/dib_layout.h"

#include <cstring>

#include "core/byte_order.h"

namespace kelm {
namespace {

}  // namespace

bool ClipboardImageFits(uint64_t width, uint64_t height) {
  return width >= 1 && height >= 1 && width <= kMaxPngSide && height <= kMaxPngSide &&
         width * height <= kMaxClipboardImagePixels;
}

size_t DibSize(uint32_t width, uint32_t height) { return kDibHeaderSize + size_t{width} * 4 * height; }

bool WriteBottomUpDib(uint32_t width, uint32_t height, std::span<const uint8_t> topDownBgra,
                      std::span<uint8_t> out) {
  const size_t row = size_t{width} * 4;
  const size_t pixels = row * height;
  if (topDownBgra.size() != pixels || out.size() != kDibHeaderSize + pixels) return false;
  uint8_t* h = out.data();
  std::memset(h, 0, kDibHeaderSize);
  bytes::StoreLe<uint32_t>(h + 0, kDibHeaderSize);  // biSize
  bytes::StoreLe<uint32_t>(h + 4, width);           // biWidth
  bytes::StoreLe<uint32_t>(h + 8, height);          // biHeight, positive: bottom-up
  bytes::StoreLe<uint16_t>(h + 12, 1);              // biPlanes
  bytes::StoreLe<uint16_t>(h + 14, 32);             // biBitCount
  bytes::StoreLe<uint32_t>(h + 16, 0);              // biCompression BI_RGB
  bytes::StoreLe<uint32_t>(h + 20, static_cast<uint32_t>(pixels));  // biSizeImage
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(h + kDibHeaderSize + size_t{height - 1 - y} * row, topDownBgra.data() + size_t{y} * row, row);
  }
  return true;
}

}  // namespace kelm
