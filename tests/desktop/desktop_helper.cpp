// Test helper: a plain top-level window that puts text or bitmaps on the clipboard on
// command (WM_COPYDATA), so tests see the clipboard owned by another process, and
// that stands for "an app" when notifications activate it.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "desktop_helper_protocol.h"

namespace {

using namespace kelm::test::helper;

bool Open(HWND window) {
  for (int i = 0; i < 50; ++i) {
    if (OpenClipboard(window)) return true;
    Sleep(10);
  }
  return false;
}

void PutBlock(UINT format, const void* data, size_t size) {
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  if (block == nullptr) return;
  void* p = GlobalLock(block);
  if (p == nullptr) {
    GlobalFree(block);
    return;
  }
  std::memcpy(p, data, size);
  GlobalUnlock(block);
  if (SetClipboardData(format, block) == nullptr) GlobalFree(block);
}

// A device-dependent bitmap, as programs that copy pictures usually put there.
HBITMAP PatternBitmap(uint32_t width, uint32_t height, uint32_t seed) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = static_cast<LONG>(width);
  bi.bmiHeader.biHeight = -static_cast<LONG>(height);
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  std::vector<uint8_t> px(size_t{width} * height * 4);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const Pixel p = PatternPixel(x, y, seed);
      uint8_t* at = &px[(size_t{y} * width + x) * 4];
      at[0] = p.b;
      at[1] = p.g;
      at[2] = p.r;
      at[3] = 255;
    }
  }
  HDC screen = GetDC(nullptr);
  HBITMAP bitmap = CreateDIBitmap(screen, &bi.bmiHeader, CBM_INIT, px.data(), &bi, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  return bitmap;
}

void PutText(const std::wstring& text) {
  PutBlock(CF_UNICODETEXT, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

LRESULT Command(HWND window, const COPYDATASTRUCT& cd) {
  const auto* data = static_cast<const uint8_t*>(cd.lpData);
  if (!Open(window)) return 0;
  EmptyClipboard();
  if (cd.dwData == kSetText && cd.cbData >= 4) {
    uint32_t flags = 0;
    std::memcpy(&flags, data, 4);
    std::wstring text(reinterpret_cast<const wchar_t*>(data + 4), (cd.cbData - 4) / sizeof(wchar_t));
    PutText(text);
    if (flags & kAddExclude) {
      const uint32_t zero = 0;
      PutBlock(RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing"), &zero, 4);
    }
    if (flags & (kHistoryZero | kHistoryOne)) {
      const uint32_t value = (flags & kHistoryOne) ? 1 : 0;
      PutBlock(RegisterClipboardFormatW(L"CanIncludeInClipboardHistory"), &value, 4);
    }
    if (flags & kAddBitmap) SetClipboardData(CF_BITMAP, PatternBitmap(40, 20, 3));
  } else if (cd.dwData == kSetBitmap && cd.cbData >= 12) {
    uint32_t v[3];
    std::memcpy(v, data, 12);
    if (HBITMAP b = PatternBitmap(v[0], v[1], v[2])) {
      if (SetClipboardData(CF_BITMAP, b) == nullptr) DeleteObject(b);
    }
  } else if (cd.dwData == kSetRepeatedText && cd.cbData >= 6) {
    uint32_t count = 0;
    wchar_t unit = 0;
    std::memcpy(&count, data, 4);
    std::memcpy(&unit, data + 4, 2);
    PutText(std::wstring(count, unit));
  }
  CloseClipboard();
  return 1;
}

LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COPYDATA:
      return Command(window, *reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const std::wstring cls = HelperClass(argv[1]);
  WNDCLASSW wc{};
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = cls.c_str();
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  if (!RegisterClassW(&wc)) return 3;
  HWND window = CreateWindowExW(0, cls.c_str(), L"Desktop helper", WS_OVERLAPPEDWINDOW, 100, 100, 320, 200,
                                nullptr, nullptr, wc.hInstance, nullptr);
  if (window == nullptr) return 4;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  std::printf("ready\n");
  std::fflush(stdout);
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  return 0;
}
