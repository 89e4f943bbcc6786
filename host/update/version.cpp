// The version triple's text form and its strict parser.
#include "update/version.h"

#include <array>
#include <format>

namespace kelm {

std::string Version::ToString() const { return std::format("{}.{}.{}", major, minor, patch); }

namespace update {

std::optional<Version> ParseVersion(std::string_view text) {
  std::array<uint16_t, 3> parts{};
  size_t index = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    const std::string_view part = text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (index >= parts.size() || part.empty() || part.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (const char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value > 65535) return std::nullopt;
    parts[index++] = static_cast<uint16_t>(value);
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (index != parts.size()) return std::nullopt;
  return Version{parts[0], parts[1], parts[2]};
}

}  // namespace update
}  // namespace kelm
