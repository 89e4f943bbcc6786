#pragma once
// UTF-8 inside the program, UTF-16 at Windows calls; Windows error texts.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelm {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);

// "0x{:08X}" followed by one blank and the system's message when it has one: for an
// HRESULT, and for a Win32 error code (GetLastError, a registry or WinHTTP result).
std::string ErrorText(HRESULT hr);
std::string Win32ErrorText(DWORD code);
// "{operation} failed ({code in decimal})": the short form for results whose text is
// not in the system's message table (WinHTTP's codes) and for the updater's messages.
std::string FailedText(std::string_view operation, DWORD code);

}  // namespace kelm
