// Read-back of the caret band from the captured image.
#include "media/caret_finder.h"

#include <cstring>

namespace kelm {

void CaretFinder::Arm(const RECT& region, uint64_t now, uint64_t timeoutMicros) {
  search_.verbose = verbose;
  search_.Arm({region.left, region.top, region.right, region.bottom}, now, timeoutMicros);
}

int CaretFinder::OnFrame(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* frame,
                         uint64_t now) {
  if (!search_.Armed()) return kCaretNotArmed;
  search_.verbose = verbose;
  if (!ReadBand(device, context, frame)) return search_.OnBandFailed(now);
  return search_.OnBand(now);
}

bool CaretFinder::ReadBand(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* frame) {
  if (device == nullptr || context == nullptr || frame == nullptr) return false;
  D3D11_TEXTURE2D_DESC fd{};
  frame->GetDesc(&fd);
  if (!search_.ClipTo(fd.Width, fd.Height)) return false;
  const uint32_t w = search_.BandWidth();
  const uint32_t h = search_.BandHeight();

  if (!staging_ || stagingWidth_ != w || stagingHeight_ != h || stagingFormat_ != fd.Format) {
    staging_.Reset();
    D3D11_TEXTURE2D_DESC d{};
    d.Width = w;
    d.Height = h;
    d.MipLevels = 1;
    d.ArraySize = 1;
    d.Format = fd.Format;
    d.SampleDesc.Count = 1;
    d.Usage = D3D11_USAGE_STAGING;
    d.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    if (FAILED(device->CreateTexture2D(&d, nullptr, &staging_))) return false;
    stagingWidth_ = w;
    stagingHeight_ = h;
    stagingFormat_ = fd.Format;
  }

  const BandRect& r = search_.Region();
  const D3D11_BOX box{static_cast<UINT>(r.left), static_cast<UINT>(r.top), 0, static_cast<UINT>(r.left) + w,
                      static_cast<UINT>(r.top) + h, 1};
  context->CopySubresourceRegion(staging_.Get(), 0, 0, 0, 0, frame, 0, &box);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(context->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return false;
  bool ok = mapped.pData != nullptr && mapped.RowPitch >= size_t{w} * 4;
  if (ok) {
    auto band = search_.BandPixels();
    const auto* src = static_cast<const uint8_t*>(mapped.pData);
    for (uint32_t y = 0; y < h; ++y) {
      std::memcpy(band.data() + size_t{y} * w * 4, src + size_t{y} * mapped.RowPitch, size_t{w} * 4);
    }
  }
  context->Unmap(staging_.Get(), 0);
  return ok;
}

}  // namespace kelm
