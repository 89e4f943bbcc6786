// Test side of the pattern painter.
#include "pattern_painter_control.h"

#include <wrl/client.h>

#include <cstring>

#include "support/process.h"
#include "test_pattern.h"

namespace kelm::test {

PatternPainter::~PatternPainter() {
  if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
  uint32_t code = 0;
  process_.Wait(5000, code);
}

bool PatternPainter::Start() {
  const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(GetTickCount64());
  const std::wstring line = L"\"" + SiblingExe(L"pattern_painter.exe") + L"\" " + tag;
  if (!process_.Start(line, dir_.File(L"painter.txt"))) return false;
  if (!process_.WaitForOutput("ready", 20000)) return false;
  window_ = FindWindowW(PainterClass(tag).c_str(), nullptr);
  return window_ != nullptr;
}

intptr_t PatternPainter::Send(unsigned message, uintptr_t wParam) {
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window_, message, wParam, 0, SMTO_ABORTIFHUNG, 10000, &result)) return 0;
  return static_cast<intptr_t>(result);
}

std::vector<uint8_t> ReadTexture(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* texture,
                                 uint32_t& width, uint32_t& height) {
  std::vector<uint8_t> out;
  D3D11_TEXTURE2D_DESC d{};
  texture->GetDesc(&d);
  width = d.Width;
  height = d.Height;
  d.Usage = D3D11_USAGE_STAGING;
  d.BindFlags = 0;
  d.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  d.MiscFlags = 0;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging;
  if (FAILED(device->CreateTexture2D(&d, nullptr, &staging))) return out;
  context->CopyResource(staging.Get(), texture);
  D3D11_MAPPED_SUBRESOURCE m{};
  if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &m))) return out;
  out.resize(size_t{width} * height * 4);
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(&out[size_t{y} * width * 4], static_cast<const uint8_t*>(m.pData) + size_t{y} * m.RowPitch,
                size_t{width} * 4);
  }
  context->Unmap(staging.Get(), 0);
  return out;
}

int PatternMismatches(const std::vector<uint8_t>& image, uint32_t width, uint32_t height, uint32_t seed) {
  if (image.size() < size_t{width} * height * 4) return 20;
  int bad = 0;
  for (uint32_t i = 0; i < 20; ++i) {
    // A 5 x 4 grid, off the block edges and away from the edit control's place.
    const uint32_t x = (i % 5) * width / 5 + 17 + i * 3;
    const uint32_t y = (i / 5) * height / 4 + 11 + i * 2;
    const uint8_t* p = &image[(size_t{y} * width + x) * 4];
    const uint32_t expected = PatternColor(seed, static_cast<int32_t>(x), static_cast<int32_t>(y));
    const uint32_t got = uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
    if (got != expected) ++bad;
  }
  return bad;
}

}  // namespace kelm::test

namespace kelm::test {
namespace {

constexpr UINT kSetCursorMessage = WM_APP + 1;  // lParam: the cursor id

LRESULT CALLBACK CursorWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  static HCURSOR current = nullptr;
  switch (msg) {
    case kSetCursorMessage:
      current = LoadCursorW(nullptr, reinterpret_cast<const wchar_t*>(lp));
      ::SetCursor(current);
      return 1;
    case WM_SETCURSOR:
      if (current != nullptr) {
        ::SetCursor(current);
        return TRUE;
      }
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

CursorWindow::~CursorWindow() {
  if (window_ != nullptr) PostMessageW(window_, WM_CLOSE, 0, 0);
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
  }
  if (ready_ != nullptr) CloseHandle(ready_);
}

bool CursorWindow::Start() {
  ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  thread_ = CreateThread(
      nullptr, 0,
      [](void* self) -> DWORD {
        static_cast<CursorWindow*>(self)->Run();
        return 0;
      },
      this, 0, nullptr);
  if (thread_ == nullptr) return false;
  WaitForSingleObject(ready_, 10000);
  return window_ != nullptr;
}

void CursorWindow::Run() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = CursorWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  const std::wstring name = L"tavro.test.CursorWindow." + std::to_wstring(GetCurrentProcessId());
  wc.lpszClassName = name.c_str();
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, name.c_str(), L"cursor", WS_POPUP | WS_VISIBLE, 0, 0, 400, 400, nullptr,
                              nullptr, wc.hInstance, nullptr);
  if (hwnd != nullptr) {
    SetForegroundWindow(hwnd);
    SendMessageW(hwnd, kSetCursorMessage, 0, reinterpret_cast<LPARAM>(IDC_ARROW));
  }
  window_ = hwnd;
  SetEvent(ready_);
  if (hwnd == nullptr) return;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

bool CursorWindow::SetCursor(const wchar_t* id) {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window_, kSetCursorMessage, 0, reinterpret_cast<LPARAM>(id), SMTO_ABORTIFHUNG, 10000,
                             &result) &&
         result == 1;
}

}  // namespace kelm::test
