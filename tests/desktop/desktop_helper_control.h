#pragma once
// Starts the desktop helper program for a test and sends it clipboard commands.
#include <windows.h>

#include <cstdint>
#include <string>

#include "desktop_helper_protocol.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace kelm::test {

class DesktopHelper {
 public:
  DesktopHelper() = default;
  ~DesktopHelper();
  DesktopHelper(const DesktopHelper&) = delete;
  DesktopHelper& operator=(const DesktopHelper&) = delete;

  bool Start();
  bool SetText(const std::wstring& text, uint32_t flags = 0);
  bool SetBitmap(uint32_t width, uint32_t height, uint32_t seed);
  bool SetRepeatedText(uint32_t count, wchar_t unit);
  HWND Window() const { return window_; }
  uint32_t ProcessId() const { return process_.Id(); }
  static std::wstring ExePath();

 private:
  bool Command(unsigned long command, const void* data, size_t size);
  TempDir dir_;
  ChildProcess process_;
  HWND window_ = nullptr;
};

// The clipboard as the test reads it (opened by the test itself, with retries).
std::wstring ReadClipboardText();
bool ClipboardHasFormat(UINT format);
std::string ReadClipboardBlock(UINT format);
void EmptyTheClipboard();

}  // namespace kelm::test
