#pragma once
// PNG encoding of PC bitmaps and PNG decoding into clipboard DIBs, with WIC. The
// calling thread must be in a COM apartment.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "desktop/global_memory.h"

namespace kelm {

struct BgraImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;  // top-down rows of width * 4 bytes
};

// The bitmap as a PNG file's bytes; empty on any failure and for bitmaps above the
// clipboard's pixel bound.
std::vector<uint8_t> EncodePng(HBITMAP bitmap);

// Frame 0 of a PNG as 32-bpp BGRA; nothing on failure, for a side outside 1..16384
// or above the clipboard's pixel bound.
std::optional<BgraImage> DecodePng(std::span<const uint8_t> png);

// The PNG as a movable CF_DIB block (bottom-up, 32 bpp); empty on failure.
GlobalMemory PngToDib(std::span<const uint8_t> png);

}  // namespace kelm
