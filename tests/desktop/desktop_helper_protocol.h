#pragma once
// Commands of the desktop helper program and its known bitmap pattern, shared by the
// helper and the tests that drive it.
#include <cstdint>
#include <string>

namespace kelm::test::helper {

// WM_COPYDATA dwData values.
inline constexpr unsigned long kSetText = 1;          // u32 flags, then UTF-16 text
inline constexpr unsigned long kSetBitmap = 2;        // u32 width, u32 height, u32 seed: CF_BITMAP only
inline constexpr unsigned long kSetRepeatedText = 3;  // u32 count, u16 unit: one character repeated

// kSetText flags.
inline constexpr uint32_t kAddExclude = 1;
inline constexpr uint32_t kHistoryZero = 2;
inline constexpr uint32_t kHistoryOne = 4;
inline constexpr uint32_t kAddBitmap = 8;

inline std::wstring HelperClass(const std::wstring& tag) { return L"tavro.test.DesktopHelper." + tag; }

struct Pixel {
  uint8_t r, g, b;
};
inline Pixel PatternPixel(uint32_t x, uint32_t y, uint32_t seed) {
  return {static_cast<uint8_t>(x * 7 + seed), static_cast<uint8_t>(y * 13 + seed * 3),
          static_cast<uint8_t>((x + y) * 3 + seed)};
}

}  // namespace kelm::test::helper
