#pragma once
// Small owners for Direct3D textures and Media Foundation buffers used by the encoder.
#include <windows.h>
#include <d3d11.h>
#include <mfapi.h>
#include <mfidl.h>

#include "media/com_ptr.h"

namespace kelm {

inline ComPtr<ID3D11Texture2D> MakeTexture(ID3D11Device* device, UINT width, UINT height, DXGI_FORMAT format,
                                           D3D11_USAGE usage, UINT bind, UINT cpu, HRESULT& hr) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = width;
  desc.Height = height;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = format;
  desc.SampleDesc.Count = 1;
  desc.Usage = usage;
  desc.BindFlags = bind;
  desc.CPUAccessFlags = cpu;
  ComPtr<ID3D11Texture2D> texture;
  hr = device->CreateTexture2D(&desc, nullptr, &texture);
  return texture;
}

inline HRESULT MakeMemorySampleOf(DWORD size, ComPtr<IMFSample>& sample, ComPtr<IMFMediaBuffer>& buffer) {
  HRESULT hr = MFCreateMemoryBuffer(size, &buffer);
  if (SUCCEEDED(hr)) hr = MFCreateSample(&sample);
  if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
  return hr;
}

// Locks a media buffer for writing and unlocks it on every path.
class BufferLock {
 public:
  explicit BufferLock(IMFMediaBuffer* buffer) : buffer_(buffer) {
    DWORD max = 0;
    if (FAILED(buffer_->Lock(&data_, &max, nullptr))) data_ = nullptr;
    size_ = max;
  }
  ~BufferLock() {
    if (data_ != nullptr) buffer_->Unlock();
  }
  BufferLock(const BufferLock&) = delete;
  BufferLock& operator=(const BufferLock&) = delete;
  BYTE* Data() const { return data_; }
  DWORD Size() const { return size_; }

 private:
  IMFMediaBuffer* buffer_;
  BYTE* data_ = nullptr;
  DWORD size_ = 0;
};

// Maps a staging texture for reading and unmaps it on every path.
class TextureMap {
 public:
  TextureMap(ID3D11DeviceContext* context, ID3D11Texture2D* texture) : context_(context), texture_(texture) {
    hr_ = context_->Map(texture_, 0, D3D11_MAP_READ, 0, &mapped_);
  }
  ~TextureMap() {
    if (SUCCEEDED(hr_)) context_->Unmap(texture_, 0);
  }
  TextureMap(const TextureMap&) = delete;
  TextureMap& operator=(const TextureMap&) = delete;
  HRESULT Result() const { return hr_; }
  const D3D11_MAPPED_SUBRESOURCE& Mapped() const { return mapped_; }

 private:
  ID3D11DeviceContext* context_;
  ID3D11Texture2D* texture_;
  D3D11_MAPPED_SUBRESOURCE mapped_{};
  HRESULT hr_;
};

}  // namespace kelm
