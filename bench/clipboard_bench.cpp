// Figures of clipboard synchronisation: a PC copy until the device has the Clipboard
// message (the 150 ms quiet time included), and the PNG conversions of full screens.
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench.h"
#include "bench_host.h"
#include "bench_timing.h"
#include "core/protocol.h"
#include "desktop/clipboard_image.h"

namespace kelm::bench {
namespace {

constexpr int kCopies = 8;
constexpr int kConversions = 5;

bool CopyText(const std::wstring& text) {
  for (int i = 0; i < 50 && !OpenClipboard(nullptr); ++i) Sleep(10);
  EmptyClipboard();
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
  void* p = block != nullptr ? GlobalLock(block) : nullptr;
  bool ok = false;
  if (p != nullptr) {
    memcpy(p, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    GlobalUnlock(block);
    ok = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
  }
  if (!ok && block != nullptr) GlobalFree(block);
  CloseClipboard();
  return ok;
}

void CopyLatencyBench(BenchOut& out) {
  BenchHost host;
  if (!host.Ok()) return out.Fail("clipboard.copy: " + host.Error());
  BenchDevice device;
  if (!device.Open(host.Port(), true)) return out.Fail("clipboard.copy: the device was not admitted");
  device.Send(proto::MsgType::FeatureFlags, {1});
  Sleep(300);
  std::vector<double> ms;
  for (int i = 0; i < kCopies; ++i) {
    const std::wstring text = L"bench copy " + std::to_wstring(i);
    Stopwatch watch;
    if (!CopyText(text)) return out.Fail("clipboard.copy: the clipboard could not be written");
    uint8_t type = 0;
    test::Bytes payload;
    do {
      if (!device.Read(type, payload)) return out.Fail("clipboard.copy: no Clipboard message");
    } while (type != static_cast<uint8_t>(proto::MsgType::Clipboard));
    ms.push_back(watch.Micros() / 1000);
    Sleep(50);
  }
  device.Bye();
  out.Figure("clipboard.pc_copy_to_message", Quantile(ms, 0.5), "ms");
}

HBITMAP ScreenSizedBitmap(uint32_t width, uint32_t height) {
  std::vector<uint32_t> px(size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) px[size_t{y} * width + x] = (x * 3) ^ (y << 8) ^ ((x * y) << 16);
  }
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = static_cast<LONG>(width);
  bi.bmiHeader.biHeight = -static_cast<LONG>(height);
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  HBITMAP bitmap = CreateDIBitmap(screen, &bi.bmiHeader, CBM_INIT, px.data(), &bi, DIB_RGB_COLORS);
  ReleaseDC(nullptr, screen);
  return bitmap;
}

void ConversionBench(BenchOut& out) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  struct Size {
    uint32_t w, h;
    const char* name;
  };
  for (const Size s : {Size{1920, 1080, "1080p"}, Size{3840, 2160, "2160p"}}) {
    HBITMAP bitmap = ScreenSizedBitmap(s.w, s.h);
    if (bitmap == nullptr) {
      out.Fail("clipboard.png: no bitmap");
      break;
    }
    std::vector<double> encode, decode;
    std::vector<uint8_t> png;
    for (int i = 0; i < kConversions; ++i) {
      Stopwatch watch;
      png = EncodePng(bitmap);
      encode.push_back(watch.Micros() / 1000);
    }
    for (int i = 0; i < kConversions && !png.empty(); ++i) {
      Stopwatch watch;
      GlobalMemory dib = PngToDib(png);
      decode.push_back(watch.Micros() / 1000);
      if (!dib) out.Fail("clipboard.png: PngToDib failed");
    }
    DeleteObject(bitmap);
    if (png.empty()) {
      out.Fail("clipboard.png: EncodePng failed");
      break;
    }
    out.Figure(std::string("clipboard.encode_png_") + s.name, Quantile(encode, 0.5), "ms");
    out.Figure(std::string("clipboard.png_to_dib_") + s.name, Quantile(decode, 0.5), "ms");
  }
  if (SUCCEEDED(com)) CoUninitialize();
}

TAVRO_BENCH("clipboard.copy", CopyLatencyBench);
TAVRO_BENCH("clipboard.png", ConversionBench);

}  // namespace
}  // namespace kelm::bench
