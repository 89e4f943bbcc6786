// Main window class and procedure: creation, DPI, theme, backdrop and fallback text.
#include "app/main_window.h"

#include <commctrl.h>
#include <dwmapi.h>

#include "app/single_instance.h"
#include "app/theme.h"

namespace kelm {
namespace {

// Attribute ids of DwmSetWindowAttribute, fixed by Windows.
constexpr DWORD kDwmUseImmersiveDarkMode = 20;
constexpr DWORD kDwmSystemBackdropType = 38;
constexpr DWORD kBackdropMainWindow = 2;
constexpr UINT_PTR kIconResource = 1;

using Font = UniqueAny<HFONT, &DeleteObject>;
using Brush = UniqueAny<HBRUSH, &DeleteObject>;

}  // namespace

MainWindow::~MainWindow() { Destroy(); }

void MainWindow::Destroy() {
  if (hwnd_ != nullptr) DestroyWindow(hwnd_);
  hook_ = nullptr;
  fallbackText_ = nullptr;
}

bool MainWindow::Create(HINSTANCE instance, Hook hook) {
  hook_ = std::move(hook);
  icon_.Reset(static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                            GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0)));
  HICON small = nullptr;
  if (FAILED(LoadIconMetric(instance, MAKEINTRESOURCEW(kIconResource), LIM_SMALL, &small))) {
    small = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                          GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  }
  smallIcon_.Reset(small);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &MainWindow::WindowProc;
  wc.hInstance = instance;
  wc.hIcon = icon_.Get();
  wc.hIconSm = smallIcon_.Get();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = kMainWindowClass;
  if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

  const UINT dpi = GetDpiForSystem();
  RECT rect{0, 0, MulDiv(kWidthDip, static_cast<int>(dpi), 96), MulDiv(kHeightDip, static_cast<int>(dpi), 96)};
  AdjustWindowRectExForDpi(&rect, WS_OVERLAPPEDWINDOW, FALSE, 0, dpi);
  HWND window = CreateWindowExW(0, kMainWindowClass, L"tavro", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, instance, this);
  if (window == nullptr) return false;
  ApplyTheme();
  TryBackdrop();
  return true;
}

void MainWindow::TryBackdrop() {
  const DWORD type = kBackdropMainWindow;
  // Older Windows (and Wine) may say yes without drawing a backdrop: the window
  // would then be black behind the page.
  if (WindowsDrawsBackdrop() &&
      SUCCEEDED(DwmSetWindowAttribute(hwnd_, kDwmSystemBackdropType, &type, sizeof(type)))) {
    backdrop_ = true;
    const MARGINS all{-1, -1, -1, -1};
    DwmExtendFrameIntoClientArea(hwnd_, &all);
  } else {
    backdrop_ = false;
  }
}

void MainWindow::ApplyTheme() {
  const BOOL dark = IsDarkMode() ? TRUE : FALSE;
  DwmSetWindowAttribute(hwnd_, kDwmUseImmersiveDarkMode, &dark, sizeof(dark));
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void MainWindow::DropBackdrop() {
  if (backdrop_) {
    const MARGINS none{0, 0, 0, 0};
    DwmExtendFrameIntoClientArea(hwnd_, &none);
    backdrop_ = false;
  }
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void MainWindow::ShowAndActivate() {
  ShowWindow(hwnd_, IsIconic(hwnd_) ? SW_RESTORE : SW_SHOW);
  SetForegroundWindow(hwnd_);
}

void MainWindow::Paint() {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd_, &ps);
  const std::wstring text = fallbackText_ ? fallbackText_() : std::wstring();
  if (!text.empty()) {
    const UINT dpi = GetDpiForWindow(hwnd_);
    RECT rect;
    GetClientRect(hwnd_, &rect);
    const int margin = MulDiv(24, static_cast<int>(dpi), 96);
    InflateRect(&rect, -margin, -margin);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    Font font;
    if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
      font.Reset(CreateFontIndirectW(&metrics.lfMessageFont));
    }
    HGDIOBJ old = font ? SelectObject(dc, font.Get()) : nullptr;
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, IsDarkMode() ? RGB(255, 255, 255) : RGB(0, 0, 0));
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect, DT_WORDBREAK);
    if (old != nullptr) SelectObject(dc, old);
  }
  EndPaint(hwnd_, &ps);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->hwnd_ = window;
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  const LRESULT result = self->HandleMessage(message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->hwnd_ = nullptr;
  }
  return result;
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (hook_) {
    if (const std::optional<LRESULT> handled = hook_(message, wParam, lParam)) return *handled;
  }
  switch (message) {
    case WM_PAINT:
      Paint();
      return 0;
    case WM_ERASEBKGND: {
      RECT rect;
      GetClientRect(hwnd_, &rect);
      // Black lets the backdrop show through.
      Brush brush(CreateSolidBrush(backdrop_ ? RGB(0, 0, 0) : ThemeBackgroundColor(IsDarkMode())));
      FillRect(reinterpret_cast<HDC>(wParam), &rect, brush.Get());
      return 1;
    }
    case WM_GETMINMAXINFO: {
      const UINT dpi = GetDpiForWindow(hwnd_);
      RECT rect{0, 0, MulDiv(360, static_cast<int>(dpi), 96), MulDiv(480, static_cast<int>(dpi), 96)};
      AdjustWindowRectExForDpi(&rect, WS_OVERLAPPEDWINDOW, FALSE, 0, dpi);
      auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
      info->ptMinTrackSize = {rect.right - rect.left, rect.bottom - rect.top};
      return 0;
    }
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd_, message, wParam, lParam);
  }
}

}  // namespace kelm
