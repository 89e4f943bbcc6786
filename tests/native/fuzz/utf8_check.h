// Whether a byte string is valid UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
#pragma once
#include <cstdint>
#include <string_view>

inline bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<uint8_t>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      n = 1, cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      n = 2, cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      n = 3, cp = b & 0x07;
    } else {
      return false;
    }
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size()) return false;
      const auto c = static_cast<uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n + 1;
  }
  return true;
}
