#pragma once
// The tool's error line as the tests expect it, built from the system's own message
// text (Wine's texts differ from Windows').
#include <windows.h>

#include <string>
#include <string_view>

namespace kelm::devctl::test {

// FormatMessageW's text for `code` (from the system, inserts ignored), line end included.
std::wstring SystemText(DWORD code);
// "<operation> failed: 0x<8 hex digits> <system text>\n"
std::wstring ErrorLine(std::wstring_view operation, DWORD code);

}  // namespace kelm::devctl::test
