#pragma once
// STAND-IN for desktop duplication where the system does not implement it (the
// duplication call answers E_NOTIMPL): the output is copied from the screen with GDI
// and uploaded into the capture texture, and the pointer is read from the system
// cursor and rebuilt as the raw shape kinds duplication reports.
#include <windows.h>
#include <d3d11.h>

#include <cstdint>
#include <vector>

#include "media/pointer_shape.h"

namespace kelm {

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

  // The AcquireFrame contract: 0 new image in `target`, 1 nothing new within
  // `timeoutMs`, 2 the screen could not be read. The first call always gives 0.
  int Acquire(uint32_t timeoutMs, ID3D11DeviceContext* context, ID3D11Texture2D* target,
              DesktopDuplication& owner);

 private:
  bool Grab();
  void UpdatePointer(DesktopDuplication& owner);

  RECT desktop_;
  uint32_t width_;
  uint32_t height_;
  HDC memoryDc_ = nullptr;
  HBITMAP dib_ = nullptr;
  HGDIOBJ oldBitmap_ = nullptr;
  uint8_t* bits_ = nullptr;       // top-down B8G8R8A8, owned by dib_
  std::vector<uint8_t> last_;     // the image last handed out
  bool fresh_ = true;             // nothing handed out since start
  HCURSOR lastCursor_ = nullptr;
  bool hasCursor_ = false;
};

}  // namespace kelm
