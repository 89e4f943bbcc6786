// Expected error lines, from FormatMessageW with the flags the tool documents.
#include "error_line.h"

#include <cwchar>

namespace kelm::devctl::test {

std::wstring SystemText(DWORD code) {
  wchar_t text[2048] = {};
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                 static_cast<DWORD>(std::size(text)), nullptr);
  return std::wstring(text, n);
}

std::wstring ErrorLine(std::wstring_view operation, DWORD code) {
  wchar_t hex[16] = {};
  std::swprintf(hex, std::size(hex), L"0x%08X", static_cast<unsigned>(code));
  return std::wstring(operation) + L" failed: " + hex + L" " + SystemText(code) + L"\n";
}

}  // namespace kelm::devctl::test
