// Test helper: shows a known full-screen pattern (changed on command), switches the
// cursor, and shows a focused edit control whose caret blinks.
// Usage: pattern_painter.exe TAG   (prints "ready" once the pattern is on screen)
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "test_pattern.h"

namespace {

using namespace kelm::test;

HWND g_window = nullptr;
HWND g_edit = nullptr;
HDC g_memory = nullptr;
HBITMAP g_dib = nullptr;
uint32_t* g_bits = nullptr;
int g_width = 0;
int g_height = 0;
HCURSOR g_cursor = nullptr;

void DrawPattern(uint32_t seed) {
  for (int y = 0; y < g_height; ++y) {
    for (int x = 0; x < g_width; ++x) g_bits[size_t(y) * g_width + x] = PatternColor(seed, x, y);
  }
  GdiFlush();
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      BitBlt(dc, 0, 0, g_width, g_height, g_memory, 0, 0, SRCCOPY);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;
    case WM_SETCURSOR:
      SetCursor(g_cursor);
      return TRUE;
    case kPainterShowPattern:
      DrawPattern(static_cast<uint32_t>(wp));
      InvalidateRect(hwnd, nullptr, FALSE);
      UpdateWindow(hwnd);
      GdiFlush();
      return 1;
    case kPainterSetCursor:
      g_cursor = LoadCursorW(nullptr, wp == 1 ? IDC_IBEAM : IDC_ARROW);
      SetCursor(g_cursor);
      return 1;
    case kPainterShowEdit:
      if (wp == 1) {
        ShowWindow(g_edit, SW_SHOW);
        SetForegroundWindow(hwnd);
        SetFocus(g_edit);
      } else {
        ShowWindow(g_edit, SW_HIDE);
        SetFocus(hwnd);
      }
      UpdateWindow(hwnd);
      return 1;
    case kPainterCaretCentre: {
      POINT p{};
      if (GetFocus() != g_edit || !GetCaretPos(&p)) return 0;
      ClientToScreen(g_edit, &p);
      // The caret is one or two pixels wide and as high as the font.
      const HDC dc = GetDC(g_edit);
      HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(g_edit, WM_GETFONT, 0, 0)));
      TEXTMETRICW tm{};
      GetTextMetricsW(dc, &tm);
      SelectObject(dc, old);
      ReleaseDC(g_edit, dc);
      const LONG cx = p.x;
      const LONG cy = p.y + tm.tmHeight / 2;
      return static_cast<LRESULT>(cx | (cy << 16));
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: pattern_painter TAG\n", stderr);
    return 2;
  }
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const std::wstring className = PainterClass(argv[1]);
  g_width = GetSystemMetrics(SM_CXSCREEN);
  g_height = GetSystemMetrics(SM_CYSCREEN);
  g_cursor = LoadCursorW(nullptr, IDC_ARROW);

  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = g_width;
  bi.bmiHeader.biHeight = -g_height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  g_dib = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  g_memory = CreateCompatibleDC(nullptr);
  if (g_dib == nullptr || g_memory == nullptr) return 1;
  SelectObject(g_memory, g_dib);
  g_bits = static_cast<uint32_t*>(bits);
  DrawPattern(0);

  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = className.c_str();
  wc.hCursor = nullptr;  // WM_SETCURSOR decides
  if (!RegisterClassW(&wc)) return 1;
  g_window = CreateWindowExW(WS_EX_TOPMOST, className.c_str(), L"pattern", WS_POPUP | WS_VISIBLE, 0, 0, g_width,
                             g_height, nullptr, nullptr, wc.hInstance, nullptr);
  if (g_window == nullptr) return 1;
  g_edit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_BORDER | ES_AUTOHSCROLL, kEditLeft, kEditTop, kEditWidth,
                           kEditHeight, g_window, nullptr, wc.hInstance, nullptr);
  SetForegroundWindow(g_window);
  UpdateWindow(g_window);
  GdiFlush();
  std::printf("ready\n");
  std::fflush(stdout);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  DeleteDC(g_memory);
  DeleteObject(g_dib);
  return 0;
}
