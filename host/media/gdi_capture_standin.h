#pragma once
// STAND-IN for desktop duplication where the system does not implement it (the
// duplication call answers E_NOTIMPL): the output is copied from the screen with GDI
// and uploaded into the capture texture, and the pointer is read from the system
// cursor and rebuilt as the raw shape kinds duplication reports.
#include <windows.h>
#include <d3d11.h>

#include <cstdint>
#include <vector>

#include "core/unique_any.h"
#include "media/capture_result.h"
#include "media/pointer_shape.h"

namespace kelm {

// A GDI bitmap (DeleteObject) and a memory DC (DeleteDC), each deleted once.
using GdiBitmap = UniqueAny<HBITMAP, &DeleteObject>;
using GdiMemoryDc = UniqueAny<HDC, &DeleteDC>;

class DesktopDuplication;

// The system cursor as duplication would describe it.
bool RawShapeOfCursor(HCURSOR cursor, PointerShapeInfo& info, std::vector<uint8_t>& raw);

class GdiCaptureStandIn {
 public:
  // `desktop` is the output's desktop rectangle; the image has its size.
  explicit GdiCaptureStandIn(const RECT& desktop);
  ~GdiCaptureStandIn();
  GdiCaptureStandIn(const GdiCaptureStandIn&) = delete;
  GdiCaptureStandIn& operator=(const GdiCaptureStandIn&) = delete;

  bool Ready() const { return images_[0].bits != nullptr && images_[1].bits != nullptr; }

  // The AcquireFrame contract: a new image (uploaded into `target` when there is one),
  // nothing new within `timeoutMs`, or lost when the screen could not be read. The first
  // call always gives a new image.
  CaptureResult Acquire(uint32_t timeoutMs, ID3D11DeviceContext* context, ID3D11Texture2D* target,
              DesktopDuplication& owner);

  // The image last handed out, top-down B8G8R8A8 rows of 4 x width bytes; valid until the
  // next Acquire that hands out a new one.
  const uint8_t* LastImage() const { return images_[front_].bits; }

 private:
  // One screen-sized DIB section selected into a memory DC of its own.
  struct Image {
    Image() = default;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    // The DIB leaves the memory DC before either goes; the DC is deleted first, then the DIB.
    ~Image() {
      if (dc && oldBitmap != nullptr) SelectObject(dc.Get(), oldBitmap);
    }
    bool Make(HDC screen, uint32_t width, uint32_t height);

    GdiBitmap dib;  // declared before the DC, so the DC is deleted first
    GdiMemoryDc dc;
    HGDIOBJ oldBitmap = nullptr;
    uint8_t* bits = nullptr;  // top-down B8G8R8A8, owned by dib
  };
  bool Grab(Image& into);
  void UpdatePointer(DesktopDuplication& owner);

  RECT desktop_;
  uint32_t width_;
  uint32_t height_;
  // The screen is copied into the image not in front and compared with the one in front;
  // a changed copy comes to the front, so the image is never copied again to keep it.
  Image images_[2];
  int front_ = 0;
  bool fresh_ = true;             // nothing handed out since start
  HCURSOR lastCursor_ = nullptr;
  bool hasCursor_ = false;
};

}  // namespace kelm
