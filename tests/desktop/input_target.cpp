// Test window for input and focus tests: a full-screen window with a line EDIT, a
// multi-line EDIT and a BUTTON. Prints every mouse button, move and wheel message with
// screen coordinates, every focus change and every EDIT text (UTF-8 as hex) to stdout.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kIdEdit = 101;
constexpr int kIdMulti = 102;
constexpr int kIdButton = 103;

HWND g_edit = nullptr;
HWND g_multi = nullptr;
HWND g_button = nullptr;

void Print(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

const char* NameOf(HWND hwnd) {
  if (hwnd == g_edit) return "edit";
  if (hwnd == g_multi) return "multi";
  if (hwnd == g_button) return "button";
  return hwnd == nullptr ? "none" : "main";
}

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out.empty() ? "-" : out;
}

void PrintText(HWND edit) {
  const int n = GetWindowTextLengthW(edit);
  std::wstring text(static_cast<size_t>(n) + 1, L'\0');
  GetWindowTextW(edit, text.data(), n + 1);
  text.resize(static_cast<size_t>(n));
  std::string utf8;
  if (n > 0) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), n, nullptr, 0, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text.data(), n, utf8.data(), bytes, nullptr, nullptr);
  }
  Print(std::string("text ") + NameOf(edit) + " " + Hex(utf8));
}

std::string RectText(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%ld %ld %ld %ld", r.left, r.top, r.right, r.bottom);
  return buf;
}

void RecordMouse(const MSG& msg) {
  const char* name = nullptr;
  switch (msg.message) {
    case WM_MOUSEMOVE: name = "move"; break;
    case WM_LBUTTONDOWN: name = "ldown"; break;
    case WM_LBUTTONUP: name = "lup"; break;
    case WM_RBUTTONDOWN: name = "rdown"; break;
    case WM_RBUTTONUP: name = "rup"; break;
    case WM_MBUTTONDOWN: name = "mdown"; break;
    case WM_MBUTTONUP: name = "mup"; break;
    case WM_MOUSEWHEEL: name = "wheel"; break;
    case WM_MOUSEHWHEEL: name = "hwheel"; break;
    default: return;
  }
  POINT pt{static_cast<short>(LOWORD(msg.lParam)), static_cast<short>(HIWORD(msg.lParam))};
  int delta = 0;
  if (msg.message == WM_MOUSEWHEEL || msg.message == WM_MOUSEHWHEEL) {
    delta = GET_WHEEL_DELTA_WPARAM(msg.wParam);  // wheel positions are already on the screen
  } else {
    ClientToScreen(msg.hwnd, &pt);
  }
  char buf[96];
  std::snprintf(buf, sizeof buf, "mouse %s %ld %ld %d", name, pt.x, pt.y, delta);
  Print(buf);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wParam) == EN_CHANGE) {
        PrintText(reinterpret_cast<HWND>(lParam));
      }
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace

int wmain() {
  // Lines end in "\n" alone, so tests can match whole lines.
  _setmode(_fileno(stdout), _O_BINARY);
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW wc{};
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"TavroInputTarget";
  RegisterClassW(&wc);
  const int x = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int w = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int h = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  const HWND main = CreateWindowExW(WS_EX_TOPMOST, wc.lpszClassName, L"input target", WS_POPUP | WS_VISIBLE,
                                    x, y, w, h, nullptr, nullptr, instance, nullptr);
  if (main == nullptr) {
    Print("error window");
    return 1;
  }
  // Placed away from the centre and the lower left, where tests press on the window itself.
  g_edit = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, w - 700, 100,
                           500, 30, main, reinterpret_cast<HMENU>(kIdEdit), instance, nullptr);
  g_multi = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                            WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL, w - 700, 200,
                            500, 200, main, reinterpret_cast<HMENU>(kIdMulti), instance, nullptr);
  g_button = CreateWindowExW(0, L"BUTTON", L"Press", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, w - 700, 450, 200,
                             50, main, reinterpret_cast<HMENU>(kIdButton), instance, nullptr);
  SetWindowTextW(g_edit, L"");
  SetForegroundWindow(main);
  SetFocus(main);
  Print("ready edit " + RectText(g_edit) + " multi " + RectText(g_multi) + " button " + RectText(g_button));

  HWND lastFocus = GetFocus();
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    RecordMouse(msg);
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    const HWND focus = GetFocus();
    if (focus != lastFocus) {
      lastFocus = focus;
      Print(std::string("focus ") + NameOf(focus));
    }
  }
  return 0;
}
