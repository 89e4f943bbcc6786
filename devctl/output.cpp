// Writes the tool's texts to the standard handles without any line-end translation.
#include "devctl/output.h"

#include <windows.h>

#include <string>

namespace kelm::devctl {
namespace {

void WriteAll(HANDLE handle, const void* data, DWORD size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    DWORD written = 0;
    if (!WriteFile(handle, bytes, size, &written, nullptr) || written == 0) return;
    bytes += written;
    size -= written;
  }
}

void Write(DWORD which, std::wstring_view text) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty()) return;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    DWORD written = 0;
    WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                       nullptr, nullptr);
  if (size <= 0) return;
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                      nullptr);
  WriteAll(handle, bytes.data(), static_cast<DWORD>(bytes.size()));
}

}  // namespace

void StdOutput::Out(std::wstring_view text) { Write(STD_OUTPUT_HANDLE, text); }
void StdOutput::Err(std::wstring_view text) { Write(STD_ERROR_HANDLE, text); }

}  // namespace kelm::devctl
