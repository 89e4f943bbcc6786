#pragma once
// The known picture the pattern painter shows, shared by the painter and the tests
// that check what was captured, and the painter's window messages.
#include <cstdint>
#include <string>

namespace kelm::test {

// 0x00RRGGBB of pixel (x, y) for pattern `seed`: 40 x 40 blocks of hashed colours.
inline uint32_t PatternColor(uint32_t seed, int32_t x, int32_t y) {
  uint32_t h = static_cast<uint32_t>(x / 40) * 73856093u ^ static_cast<uint32_t>(y / 40) * 19349663u ^
               (seed + 1) * 83492791u;
  h ^= h >> 13;
  h *= 0x5BD1E995u;
  h ^= h >> 15;
  return h & 0xFFFFFFu;
}

// Window class of the painter started with `tag`.
inline std::wstring PainterClass(const std::wstring& tag) { return L"tavro.test.Pattern." + tag; }

// Commands, sent to the painter's window; each answers 1 when done.
inline constexpr unsigned kPainterShowPattern = 0x8000 + 1;  // wParam: seed
inline constexpr unsigned kPainterSetCursor = 0x8000 + 2;    // wParam: 0 arrow, 1 I-beam
inline constexpr unsigned kPainterShowEdit = 0x8000 + 3;     // wParam: 1 show and focus, 0 hide
inline constexpr unsigned kPainterCaretCentre = 0x8000 + 4;  // answers x | y << 16 (screen), 0 when none

// Where the edit control sits (screen pixels).
inline constexpr int32_t kEditLeft = 600;
inline constexpr int32_t kEditTop = 500;
inline constexpr int32_t kEditWidth = 500;
inline constexpr int32_t kEditHeight = 40;

}  // namespace kelm::test
