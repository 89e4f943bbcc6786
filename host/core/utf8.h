#pragma once
// Portable UTF-8 clean-up for texts that come from devices.
#include <cstddef>
#include <string>
#include <string_view>

namespace kelm {

// Replaces every invalid or overlong sequence (and surrogates) by U+FFFD.
std::string SanitizeUtf8(std::string_view text);

}  // namespace kelm
