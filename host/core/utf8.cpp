#include "core/utf8.h"

#include <cstdint>

namespace kelm {
namespace {

// Length of the valid sequence starting at text[i], or 0 when it is invalid.
size_t SequenceLength(std::string_view text, size_t i) {
  const auto b0 = static_cast<uint8_t>(text[i]);
  if (b0 < 0x80) {
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
  return length;
}

}  // namespace

std::string SanitizeUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t n = SequenceLength(text, i);
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

}  // namespace kelm
