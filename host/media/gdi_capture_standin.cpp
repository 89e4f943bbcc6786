// GDI screen copy and system-cursor reading behind DesktopDuplication (stand-in).
#include "media/gdi_capture_standin.h"

#include <algorithm>
#include <cstring>

#include "core/clock.h"
#include "core/log.h"
#include "core/text.h"
#include "media/desktop_duplication.h"

namespace kelm {
namespace {

constexpr uint32_t kPollMs = 16;  // about one refresh

void ReleaseScreenDc(HDC dc) { ReleaseDC(nullptr, dc); }

// The screen DC, for one call.
using ScreenDc = UniqueAny<HDC, &ReleaseScreenDc>;

// Reads a bitmap as a top-down DIB of `bitCount` bits per pixel.
bool ReadBits(HDC dc, HBITMAP bitmap, int32_t w, int32_t h, WORD bitCount, std::vector<uint8_t>& out,
              uint32_t& pitch) {
  struct {
    BITMAPINFOHEADER header;
    RGBQUAD colors[2];
  } bi{};
  bi.header.biSize = sizeof(BITMAPINFOHEADER);
  bi.header.biWidth = w;
  bi.header.biHeight = -h;
  bi.header.biPlanes = 1;
  bi.header.biBitCount = bitCount;
  bi.header.biCompression = BI_RGB;
  pitch = ((static_cast<uint32_t>(w) * bitCount + 31) / 32) * 4;
  out.assign(size_t{pitch} * static_cast<uint32_t>(h), 0);
  return GetDIBits(dc, bitmap, 0, static_cast<UINT>(h), out.data(), reinterpret_cast<BITMAPINFO*>(&bi),
                   DIB_RGB_COLORS) == h;
}

}  // namespace

bool RawShapeOfCursor(HCURSOR cursor, PointerShapeInfo& info, std::vector<uint8_t>& raw) {
  ICONINFO ii{};
  if (!GetIconInfo(cursor, &ii)) return false;
  const GdiBitmap mask(ii.hbmMask);
  const GdiBitmap color(ii.hbmColor);
  BITMAP bm{};
  if (!mask || GetObjectW(mask.Get(), sizeof(bm), &bm) != sizeof(bm) || bm.bmWidth <= 0 ||
      bm.bmHeight <= 0) {
    return false;
  }
  const ScreenDc screen(GetDC(nullptr));
  if (!screen) return false;
  const int32_t w = bm.bmWidth;
  info.hotX = static_cast<int32_t>(ii.xHotspot);
  info.hotY = static_cast<int32_t>(ii.yHotspot);
  info.width = static_cast<uint32_t>(w);

  uint32_t maskPitch = 0;
  std::vector<uint8_t> maskBits;
  if (!color) {
    // Monochrome: the mask bitmap holds the AND rows above the XOR rows.
    if (!ReadBits(screen.Get(), mask.Get(), w, bm.bmHeight, 1, maskBits, maskPitch)) return false;
    info.type = kPointerShapeMonochrome;
    info.height = static_cast<uint32_t>(bm.bmHeight);
    info.pitch = maskPitch;
    raw = std::move(maskBits);
    return true;
  }

  const int32_t h = bm.bmHeight;
  uint32_t colorPitch = 0;
  if (!ReadBits(screen.Get(), color.Get(), w, h, 32, raw, colorPitch)) return false;
  info.height = static_cast<uint32_t>(h);
  info.pitch = colorPitch;
  bool hasAlpha = false;
  for (size_t i = 3; i < raw.size(); i += 4) hasAlpha |= raw[i] != 0;
  if (hasAlpha) {
    info.type = kPointerShapeColor;
    return true;
  }
  // No alpha: the AND mask decides, as a masked colour shape carries it.
  if (!ReadBits(screen.Get(), mask.Get(), w, h, 1, maskBits, maskPitch)) return false;
  info.type = kPointerShapeMaskedColor;
  for (int32_t y = 0; y < h; ++y) {
    for (int32_t x = 0; x < w; ++x) {
      const bool andBit = (maskBits[size_t(y) * maskPitch + size_t(x) / 8] & (0x80 >> (x % 8))) != 0;
      raw[size_t(y) * colorPitch + size_t(x) * 4 + 3] = andBit ? 0xFF : 0x00;
    }
  }
  return true;
}

GdiCaptureStandIn::GdiCaptureStandIn(const RECT& desktop)
    : desktop_(desktop),
      width_(static_cast<uint32_t>(std::max<LONG>(desktop.right - desktop.left, 0))),
      height_(static_cast<uint32_t>(std::max<LONG>(desktop.bottom - desktop.top, 0))) {
  if (width_ == 0 || height_ == 0) return;
  const ScreenDc screen(GetDC(nullptr));
  if (!screen) return;
  for (Image& image : images_) {
    if (!image.Make(screen.Get(), width_, height_)) return;
  }
}

GdiCaptureStandIn::~GdiCaptureStandIn() = default;

bool GdiCaptureStandIn::Image::Make(HDC screen, uint32_t width, uint32_t height) {
  dc.Reset(CreateCompatibleDC(screen));
  if (!dc) return false;
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = static_cast<LONG>(width);
  bi.bmiHeader.biHeight = -static_cast<LONG>(height);
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* pixels = nullptr;
  dib.Reset(CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &pixels, nullptr, 0));
  if (!dib) return false;
  oldBitmap = SelectObject(dc.Get(), dib.Get());
  bits = static_cast<uint8_t*>(pixels);
  return true;
}

bool GdiCaptureStandIn::Grab(Image& into) {
  const ScreenDc screen(GetDC(nullptr));
  if (!screen) return false;
  if (!BitBlt(into.dc.Get(), 0, 0, static_cast<int>(width_), static_cast<int>(height_), screen.Get(), desktop_.left,
              desktop_.top, SRCCOPY | CAPTUREBLT)) {
    return false;
  }
  GdiFlush();
  // GDI leaves alpha undefined; the desktop is opaque.
  const size_t size = size_t{width_} * height_ * 4;
  for (size_t i = 3; i < size; i += 4) into.bits[i] = 0xFF;
  return true;
}

void GdiCaptureStandIn::UpdatePointer(DesktopDuplication& owner) {
  CURSORINFO ci{};
  ci.cbSize = sizeof(ci);
  if (!GetCursorInfo(&ci)) return;
  if (ci.hCursor != nullptr && (!hasCursor_ || ci.hCursor != lastCursor_)) {
    // One attempt per cursor: a cursor that cannot be read keeps the last shape.
    lastCursor_ = ci.hCursor;
    hasCursor_ = true;
    PointerShapeInfo info;
    std::vector<uint8_t> raw;
    if (RawShapeOfCursor(ci.hCursor, info, raw)) {
      owner.ApplyPointerShape(info, raw);
    } else {
      LogDebug("Pointer shape of cursor {} cannot be read: {}", static_cast<void*>(ci.hCursor),
               Win32ErrorText(GetLastError()));
    }
  }
  owner.cursorVisible = (ci.flags & CURSOR_SHOWING) != 0 && ci.hCursor != nullptr;
  // The cursor position is the hot spot already.
  owner.cursorX = ci.ptScreenPos.x - desktop_.left;
  owner.cursorY = ci.ptScreenPos.y - desktop_.top;
}

CaptureResult GdiCaptureStandIn::Acquire(uint32_t timeoutMs, ID3D11DeviceContext* context, ID3D11Texture2D* target,
                               DesktopDuplication& owner) {
  if (!Ready()) return CaptureResult::Lost;
  const size_t size = size_t{width_} * height_ * 4;
  const uint64_t deadline = NowMicros() + uint64_t{timeoutMs} * 1000;
  for (;;) {
    UpdatePointer(owner);
    const int back = 1 - front_;
    if (!Grab(images_[back])) {
      LogWarn("Copying the screen failed: {}", Win32ErrorText(GetLastError()));
      return CaptureResult::Lost;
    }
    if (fresh_ || std::memcmp(images_[back].bits, images_[front_].bits, size) != 0) {
      front_ = back;
      if (context != nullptr && target != nullptr) {
        context->UpdateSubresource(target, 0, nullptr, images_[front_].bits, width_ * 4, 0);
      }
      fresh_ = false;
      return CaptureResult::NewImage;
    }
    const uint64_t now = NowMicros();
    if (now >= deadline) return CaptureResult::NothingNew;
    const uint64_t leftMs = (deadline - now + 999) / 1000;
    Sleep(static_cast<DWORD>(std::min<uint64_t>(kPollMs, leftMs)));
  }
}

}  // namespace kelm
