#pragma once
// The program version triple of the update manifests: parsed, ordered and printed.
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelm {

struct Version {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t patch = 0;

  std::string ToString() const;
  friend auto operator<=>(const Version&, const Version&) = default;
};

// The version of the running host and service.
inline constexpr Version kProgramVersion{1, 0, 0};

namespace update {

// Exactly three '.'-separated parts of 1 to 5 decimal digits each (leading zeros
// allowed), each at most 65535; anything else (signs, spaces, empty parts) is invalid.
std::optional<Version> ParseVersion(std::string_view text);

}  // namespace update
}  // namespace kelm
