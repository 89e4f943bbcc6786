#pragma once
// Portable UTF-8 clean-up for texts that come from devices and other programs.
#include <cstddef>
#include <string>
#include <string_view>

namespace kelm {

// Replaces every invalid or overlong sequence (and surrogates) by U+FFFD.
std::string SanitizeUtf8(std::string_view text);

// The form in which a text from outside (a device, adb, a server) goes into a log
// line: valid UTF-8 in which every character that could break or disguise the
// line (control characters, C1 controls such as NEL, line and paragraph separators,
// bidi controls and other invisible format characters) and every invalid byte is
// replaced by '?', so a log viewer shows exactly one honest line per entry.
std::string SanitizeForLog(std::string_view text);

}  // namespace kelm
