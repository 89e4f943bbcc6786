#pragma once
// Portable layout of the 32-bpp device-independent bitmaps put on the clipboard, and
// the pixel bound that keeps one clipboard image within a sane amount of memory.
#include <cstddef>
#include <cstdint>
#include <span>

namespace kelm {

// A PNG may declare up to 16384 pixels each way; above this many pixels in all the
// image is not converted (its BGRA copy and DIB would take about 2 GiB at the most).
inline constexpr uint64_t kMaxClipboardImagePixels = 40'000'000;
inline constexpr uint32_t kMaxPngSide = 16384;
inline constexpr size_t kDibHeaderSize = 40;

// Whether an image of this size may be converted on the clipboard thread.
bool ClipboardImageFits(uint64_t width, uint64_t height);

// Header plus pixels: 40 + width * 4 * height bytes.
size_t DibSize(uint32_t width, uint32_t height);

// Writes a BITMAPINFOHEADER (bottom-up, 32 bpp, uncompressed) followed by the rows of
// `topDownBgra` in reverse order into `out`, which holds DibSize bytes. False when
// the sizes do not agree.
bool WriteBottomUpDib(uint32_t width, uint32_t height, std::span<const uint8_t> topDownBgra,
                      std::span<uint8_t> out);

}  // namespace kelm
