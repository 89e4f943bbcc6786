#pragma once
// Finds a blinking text caret near a tapped point: reads a band of each new captured
// image back from the GPU and looks for a caret-shaped change that repeats.
#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>

#include "media/caret_search.h"

namespace kelm {

class CaretFinder {
 public:
  using Candidate = CaretCandidate;

  // Logs every change seen (the console caret test sets it).
  bool verbose = false;

  // `region` in output pixels; an empty region leaves the finder disarmed.
  void Arm(const RECT& region, uint64_t now, uint64_t timeoutMicros);
  // Results kCaretNotArmed, kCaretLooking, kCaretFound (FoundX/FoundY hold the point)
  // and kCaretTimedOut; the last two disarm the finder.
  int OnFrame(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* frame, uint64_t now);
  int CheckTimeout(uint64_t now) { return search_.CheckTimeout(now); }
  bool Armed() const { return search_.Armed(); }

  int32_t FoundX() const { return search_.FoundX(); }
  int32_t FoundY() const { return search_.FoundY(); }

 private:
  bool ReadBand(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* frame);

  CaretSearch search_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging_;
  uint32_t stagingWidth_ = 0;
  uint32_t stagingHeight_ = 0;
  DXGI_FORMAT stagingFormat_ = DXGI_FORMAT_UNKNOWN;
};

}  // namespace kelm
