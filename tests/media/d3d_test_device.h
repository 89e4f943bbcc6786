#pragma once
// Direct3D 11 device, Media Foundation start-up and BGRA test pictures for encoder tests.
#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "media/com_ptr.h"
#include "support/process_threads.h"

namespace kelm::test {

// COM (multithreaded) and Media Foundation for the lifetime of the object. Its end also
// waits for the threads begun meanwhile (Media Foundation's, a released device's) to be
// gone, so a process that exits next does not exit while they are still ending.
class MediaFoundationScope {
 public:
  MediaFoundationScope() {
    comOk_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    mfOk_ = SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_FULL));
  }
  ~MediaFoundationScope() {
    if (mfOk_) MFShutdown();
    if (comOk_) CoUninitialize();
    laterThreads_.WaitForLaterThreads(kThreadsEndMs);
  }
  MediaFoundationScope(const MediaFoundationScope&) = delete;
  MediaFoundationScope& operator=(const MediaFoundationScope&) = delete;
  bool Ok() const { return mfOk_; }

 private:
  static constexpr uint32_t kThreadsEndMs = 3000;
  LaterThreads laterThreads_;
  bool comOk_ = false;
  bool mfOk_ = false;
};

inline ComPtr<ID3D11Device> MakeD3DDevice() {
  ComPtr<ID3D11Device> device;
  const UINT flags = D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;
  for (const D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
    for (const UINT f : {flags, UINT{D3D11_CREATE_DEVICE_BGRA_SUPPORT}}) {
      if (SUCCEEDED(D3D11CreateDevice(nullptr, type, nullptr, f, nullptr, 0, D3D11_SDK_VERSION, &device, nullptr,
                                      nullptr))) {
        return device;
      }
    }
  }
  return device;
}

struct Rgb8 {
  uint8_t r, g, b;
};

// A default-usage BGRA texture, as the capture hands frames to the encoder.
class BgraPicture {
 public:
  BgraPicture(ID3D11Device* device, uint32_t width, uint32_t height)
      : width_(width), height_(height), pixels_(size_t{width} * height * 4) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    device->CreateTexture2D(&desc, nullptr, &texture_);
    device->GetImmediateContext(&context_);
  }
  bool Ok() const { return texture_ != nullptr; }
  ID3D11Texture2D* Texture() const { return texture_.Get(); }

  void Paint(const std::function<Rgb8(uint32_t, uint32_t)>& at) {
    for (uint32_t y = 0; y < height_; ++y) {
      for (uint32_t x = 0; x < width_; ++x) {
        const Rgb8 c = at(x, y);
        uint8_t* p = &pixels_[(size_t{y} * width_ + x) * 4];
        p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 255;
      }
    }
    context_->UpdateSubresource(texture_.Get(), 0, nullptr, pixels_.data(), width_ * 4, 0);
  }

 private:
  uint32_t width_, height_;
  std::vector<uint8_t> pixels_;
  ComPtr<ID3D11Texture2D> texture_;
  ComPtr<ID3D11DeviceContext> context_;
};

}  // namespace kelm::test
