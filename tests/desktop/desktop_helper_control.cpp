// Test side of the desktop helper program and clipboard reading for tests.
#include "desktop_helper_control.h"

#include <cstring>
#include <vector>

#include "support/process.h"

namespace kelm::test {
namespace {

bool OpenForTest() {
  for (int i = 0; i < 100; ++i) {
    if (OpenClipboard(nullptr)) return true;
    Sleep(10);
  }
  return false;
}

}  // namespace

DesktopHelper::~DesktopHelper() {
  if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
  uint32_t code = 0;
  process_.Wait(5000, code);
}

std::wstring DesktopHelper::ExePath() { return SiblingExe(L"desktop_helper.exe"); }

bool DesktopHelper::Start() {
  const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(GetTickCount64());
  if (!process_.Start(L"\"" + ExePath() + L"\" " + tag, dir_.File(L"helper.txt"))) return false;
  if (!process_.WaitForOutput("ready", 20000)) return false;
  window_ = FindWindowW(helper::HelperClass(tag).c_str(), nullptr);
  return window_ != nullptr;
}

bool DesktopHelper::Command(unsigned long command, const void* data, size_t size) {
  COPYDATASTRUCT cd{};
  cd.dwData = command;
  cd.cbData = static_cast<DWORD>(size);
  cd.lpData = const_cast<void*>(data);
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cd), SMTO_ABORTIFHUNG, 20000,
                             &result) != 0 &&
         result == 1;
}

bool DesktopHelper::SetText(const std::wstring& text, uint32_t flags) {
  std::vector<uint8_t> data(4 + text.size() * sizeof(wchar_t));
  std::memcpy(data.data(), &flags, 4);
  if (!text.empty()) std::memcpy(data.data() + 4, text.data(), text.size() * sizeof(wchar_t));
  return Command(helper::kSetText, data.data(), data.size());
}

bool DesktopHelper::SetBitmap(uint32_t width, uint32_t height, uint32_t seed) {
  const uint32_t v[3] = {width, height, seed};
  return Command(helper::kSetBitmap, v, sizeof v);
}

bool DesktopHelper::SetRepeatedText(uint32_t count, wchar_t unit) {
  uint8_t data[6];
  std::memcpy(data, &count, 4);
  std::memcpy(data + 4, &unit, 2);
  return Command(helper::kSetRepeatedText, data, sizeof data);
}

std::wstring ReadClipboardText() {
  std::wstring text;
  if (!OpenForTest()) return text;
  if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* p = static_cast<const wchar_t*>(GlobalLock(h))) {
      text.assign(p, wcsnlen(p, GlobalSize(h) / sizeof(wchar_t)));
      GlobalUnlock(h);
    }
  }
  CloseClipboard();
  return text;
}

bool ClipboardHasFormat(UINT format) { return IsClipboardFormatAvailable(format) != 0; }

std::string ReadClipboardBlock(UINT format) {
  std::string bytes;
  if (!OpenForTest()) return bytes;
  if (HANDLE h = GetClipboardData(format)) {
    if (const auto* p = static_cast<const char*>(GlobalLock(h))) {
      bytes.assign(p, GlobalSize(h));
      GlobalUnlock(h);
    }
  }
  CloseClipboard();
  return bytes;
}

void EmptyTheClipboard() {
  if (!OpenForTest()) return;
  EmptyClipboard();
  CloseClipboard();
}

}  // namespace kelm::test
