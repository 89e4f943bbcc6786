// Portable UTF-8 clean-up: valid sequences for storage, and a log-safe form.
#include "core/utf8.h"

#include <cstdint>

namespace kelm {
namespace {

// Length of the valid sequence starting at text[i] with its code point, or 0 when
// it is invalid.
size_t DecodeAt(std::string_view text, size_t i, uint32_t& codePoint) {
  const auto b0 = static_cast<uint8_t>(text[i]);
  if (b0 < 0x80) {
    codePoint = b0;
    return 1;
  }
  size_t length = 0;
  uint32_t min = 0;
  uint32_t cp = 0;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, min = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, min = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) {
    return 0;
  }
  for (size_t k = 1; k < length; ++k) {
    const auto b = static_cast<uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  codePoint = cp;
  return length;
}

struct Range {
  uint32_t first;
  uint32_t last;
};

// Control characters, the line and paragraph separators, and the format characters
// (general category Cf): bidi embeddings, overrides, isolates and marks, zero-width
// characters, the byte-order mark, interlinear annotations, tags and the like.
constexpr Range kUnsafeInLog[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x00AD, 0x00AD}, {0x0600, 0x0605}, {0x061C, 0x061C},
    {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2}, {0x180E, 0x180E},
    {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
    {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

bool UnsafeInLog(uint32_t cp) {
  for (const Range& r : kUnsafeInLog) {
    if (cp >= r.first && cp <= r.last) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string SanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t n = DecodeAt(text, i, cp);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

std::string SanitizeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    uint32_t cp = 0;
    const size_t n = DecodeAt(text, i, cp);
    if (n == 0) {
      out += '?';
      ++i;
      continue;
    }
    if (UnsafeInLog(cp)) {
      out += '?';
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

}  // namespace kelm
