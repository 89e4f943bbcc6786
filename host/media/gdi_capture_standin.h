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

  bool Ready() const { return bits_ != nullptr; }

  // The AcquireFrame contract: a new image in `target`, nothing new within `timeoutMs`,
  // or lost when the screen could not be read. The first call always gives a new image.
  CaptureResult Acquire(uint32_t timeoutMs, ID3D11DeviceContext* context, ID3D11Texture2D* target,
              DesktopDuplication& owner);

 private:
  bool Grab();
  void UpdatePointer(DesktopDuplication& owner);

  RECT desktop_;
  uint32_t width_;
  uint32_t height_;
  GdiBitmap dib_;         // declared before the DC, so the DC is deleted first
  GdiMemoryDc memoryDc_;
  HGDIOBJ oldBitmap_ = nullptr;
  uint8_t* bits_ = nullptr;       // top-down B8G8R8A8, owned by dib_
  std::vector<uint8_t> last_;     // the image last handed out
  bool fresh_ = true;             // nothing handed out since start
  HCURSOR lastCursor_ = nullptr;
  bool hasCursor_ = false;
};

}  // namespace kelm
