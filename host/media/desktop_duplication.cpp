// DXGI desktop duplication of one output, with the GDI stand-in where the system
// does not implement duplication.
#include "media/desktop_duplication.h"

#include <d3d10.h>
#include <dxgi1_5.h>

#include <algorithm>

#include "core/log.h"
#include "core/text.h"
#include "media/gdi_capture_standin.h"

using Microsoft::WRL::ComPtr;

namespace kelm {

static_assert(static_cast<uint32_t>(DisplayRotation::Identity) == DXGI_MODE_ROTATION_IDENTITY &&
              static_cast<uint32_t>(DisplayRotation::Rotate90) == DXGI_MODE_ROTATION_ROTATE90 &&
              static_cast<uint32_t>(DisplayRotation::Rotate180) == DXGI_MODE_ROTATION_ROTATE180 &&
              static_cast<uint32_t>(DisplayRotation::Rotate270) == DXGI_MODE_ROTATION_ROTATE270,
              "DisplayRotation carries DXGI's values");
namespace {

uint64_t LuidValue(const LUID& luid) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(luid.HighPart)) << 32) | luid.LowPart;
}

bool SameName(const wchar_t* a, const std::wstring& b) {
  return CompareStringOrdinal(a, -1, b.c_str(), static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

struct FoundOutput {
  ComPtr<IDXGIAdapter1> adapter;
  ComPtr<IDXGIOutput1> output;
};

// The first output, across adapters in order, whose device name matches.
bool FindOutput(IDXGIFactory1* factory, const std::wstring& name, FoundOutput& found) {
  ComPtr<IDXGIAdapter1> adapter;
  for (UINT a = 0; factory->EnumAdapters1(a, &adapter) != DXGI_ERROR_NOT_FOUND; ++a) {
    if (!adapter) continue;
    ComPtr<IDXGIOutput> output;
    for (UINT o = 0; adapter->EnumOutputs(o, &output) != DXGI_ERROR_NOT_FOUND; ++o) {
      DXGI_OUTPUT_DESC desc{};
      if (!output || FAILED(output->GetDesc(&desc)) || !SameName(desc.DeviceName, name)) continue;
      if (FAILED(output.As(&found.output))) return false;
      found.adapter = adapter;
      return true;
    }
  }
  return false;
}

}  // namespace

DesktopDuplication::DesktopDuplication() = default;

DesktopDuplication::~DesktopDuplication() { ReleaseHeldFrame(); }

void DesktopDuplication::Adopt(Microsoft::WRL::ComPtr<ID3D11Device> device,
                               Microsoft::WRL::ComPtr<ID3D11DeviceContext> context,
                               Microsoft::WRL::ComPtr<IDXGIOutputDuplication> duplication,
                               Microsoft::WRL::ComPtr<ID3D11Texture2D> texture, uint32_t imageWidth,
                               uint32_t imageHeight) {
  ReleaseHeldFrame();
  standIn_.reset();
  output_.Reset();
  device_ = std::move(device);
  context_ = std::move(context);
  duplication_ = std::move(duplication);
  captureTexture_ = std::move(texture);
  width = imageWidth;
  height = imageHeight;
}

void DesktopDuplication::Close() {
  ReleaseHeldFrame();
  standIn_.reset();
  duplication_.Reset();
  output_.Reset();
  captureTexture_.Reset();
  context_.Reset();
  device_.Reset();
}

bool DesktopDuplication::Open(const std::wstring& name) {
  deviceName = name;
  return Recreate();
}

void DesktopDuplication::ReleaseHeldFrame() {
  if (frameHeld_ && duplication_) duplication_->ReleaseFrame();
  frameHeld_ = false;
}

bool DesktopDuplication::Recreate() {
  ReleaseHeldFrame();
  duplication_.Reset();
  standIn_.reset();

  ComPtr<IDXGIFactory1> factory;
  HRESULT hr = CreateDXGIFactory1(IID_PPV_ARGS(&factory));
  if (FAILED(hr)) {
    LogError("CreateDXGIFactory1 failed: {}", ErrorText(hr));
    return false;
  }
  FoundOutput found;
  if (!FindOutput(factory.Get(), deviceName, found)) {
    LogDebug("DXGI output {} not found", WideToUtf8(deviceName));
    return false;
  }
  DXGI_ADAPTER_DESC1 adapterDesc{};
  found.adapter->GetDesc1(&adapterDesc);
  const uint64_t luid = LuidValue(adapterDesc.AdapterLuid);

  const bool keepDevice = device_ && adapterLuid == luid && device_->GetDeviceRemovedReason() == S_OK;
  if (!keepDevice) {
    context_.Reset();
    device_.Reset();
    captureTexture_.Reset();
    ++deviceGeneration;
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1};
    hr = D3D11CreateDevice(found.adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                           D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, levels,
                           static_cast<UINT>(std::size(levels)), D3D11_SDK_VERSION, &device_, nullptr, &context_);
    if (FAILED(hr)) {
      hr = D3D11CreateDevice(found.adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr,
                             D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, static_cast<UINT>(std::size(levels)),
                             D3D11_SDK_VERSION, &device_, nullptr, &context_);
    }
    if (FAILED(hr)) {
      device_.Reset();
      context_.Reset();
      LogError("D3D11CreateDevice failed: {}", ErrorText(hr));
      return false;
    }
    // The encoder may use this device from Media Foundation's threads.
    ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(device_.As(&multithread))) multithread->SetMultithreadProtected(TRUE);
    adapterLuid = luid;
    LogInfo("Capturing {} on GPU '{}'", WideToUtf8(deviceName), WideToUtf8(adapterDesc.Description));
  }
  output_ = found.output;
  return Duplicate();
}

bool DesktopDuplication::Duplicate() {
  HRESULT hr = E_NOINTERFACE;
  ComPtr<IDXGIOutput5> output5;
  if (SUCCEEDED(output_.As(&output5))) {
    const DXGI_FORMAT formats[] = {DXGI_FORMAT_B8G8R8A8_UNORM};
    hr = output5->DuplicateOutput1(device_.Get(), 0, 1, formats, &duplication_);
  }
  if (FAILED(hr)) hr = output_->DuplicateOutput(device_.Get(), &duplication_);

  const RECT desktop = DesktopRect();
  const int64_t desktopW = int64_t{desktop.right} - desktop.left;
  const int64_t desktopH = int64_t{desktop.bottom} - desktop.top;
  DisplayRotation reported = DisplayRotation::Identity;
  if (hr == E_NOTIMPL) {
    // Only where duplication is missing altogether: copy the screen with GDI instead.
    duplication_.Reset();
    if (desktopW <= 0 || desktopH <= 0) {
      LogDebug("DuplicateOutput failed: {}", ErrorText(hr));
      return false;
    }
    standIn_ = std::make_unique<GdiCaptureStandIn>(desktop);
    if (!standIn_->Ready()) {
      standIn_.reset();
      LogDebug("DuplicateOutput failed: {}", ErrorText(hr));
      return false;
    }
    width = static_cast<uint32_t>(desktopW);
    height = static_cast<uint32_t>(desktopH);
    rotation = DisplayRotation::Identity;  // GDI copies the desktop upright
    LogDebug("Desktop duplication is not implemented here; copying the screen with GDI");
  } else if (FAILED(hr)) {
    LogDebug("DuplicateOutput failed: {}", ErrorText(hr));
    return false;
  } else {
    DXGI_OUTDUPL_DESC desc{};
    duplication_->GetDesc(&desc);
    width = desc.ModeDesc.Width;
    height = desc.ModeDesc.Height;
    reported = static_cast<DisplayRotation>(desc.Rotation);
    rotation = RotationToUse(reported, desktopW, desktopH, width, height);
  }
  LogDebug("Duplication of {}: {}x{}, rotation {} (reported {})", WideToUtf8(deviceName), width, height,
           static_cast<uint32_t>(rotation), static_cast<uint32_t>(reported));
  return EnsureCaptureTexture();
}

bool DesktopDuplication::EnsureCaptureTexture() {
  if (captureTexture_) {
    D3D11_TEXTURE2D_DESC d{};
    captureTexture_->GetDesc(&d);
    if (d.Width == width && d.Height == height) return true;
    captureTexture_.Reset();
  }
  D3D11_TEXTURE2D_DESC d{};
  d.Width = width;
  d.Height = height;
  d.MipLevels = 1;
  d.ArraySize = 1;
  d.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  d.SampleDesc.Count = 1;
  d.Usage = D3D11_USAGE_DEFAULT;
  d.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
  const HRESULT hr = device_->CreateTexture2D(&d, nullptr, &captureTexture_);
  if (FAILED(hr)) {
    LogError("Creating capture texture failed: {}", ErrorText(hr));
    return false;
  }
  return true;
}

const uint8_t* DesktopDuplication::StandInImage() const { return standIn_ ? standIn_->LastImage() : nullptr; }

RECT DesktopDuplication::DesktopRect() const {
  DXGI_OUTPUT_DESC desc{};
  if (output_ && SUCCEEDED(output_->GetDesc(&desc))) return desc.DesktopCoordinates;
  return RECT{0, 0, static_cast<LONG>(width), static_cast<LONG>(height)};
}

CaptureResult DesktopDuplication::AcquireFrame(uint32_t timeoutMs) {
  if (standIn_) {
    return standIn_->Acquire(timeoutMs, context_.Get(), standInFillsTexture ? captureTexture_.Get() : nullptr, *this);
  }
  if (!duplication_) return CaptureResult::Lost;
  ReleaseHeldFrame();

  DXGI_OUTDUPL_FRAME_INFO info{};
  ComPtr<IDXGIResource> resource;
  const HRESULT hr = duplication_->AcquireNextFrame(timeoutMs, &info, &resource);
  if (hr == DXGI_ERROR_WAIT_TIMEOUT) return CaptureResult::NothingNew;
  if (hr == DXGI_ERROR_ACCESS_LOST || hr == DXGI_ERROR_INVALID_CALL) return CaptureResult::Lost;
  if (FAILED(hr)) {
    LogWarn("AcquireNextFrame failed: {}", ErrorText(hr));
    return CaptureResult::Lost;
  }
  frameHeld_ = true;
  UpdatePointer(info);

  if (info.LastPresentTime.QuadPart != 0) {
    ComPtr<ID3D11Texture2D> image;
    if (!resource || FAILED(resource.As(&image))) return CaptureResult::Unusable;
    context_->CopyResource(captureTexture_.Get(), image.Get());
    ReleaseHeldFrame();
    return CaptureResult::NewImage;
  }
  ReleaseHeldFrame();
  return CaptureResult::NothingNew;
}

void DesktopDuplication::UpdatePointer(const DXGI_OUTDUPL_FRAME_INFO& info) {
  if (info.LastMouseUpdateTime.QuadPart != 0) {
    cursorVisible = info.PointerPosition.Visible != FALSE;
    if (cursorVisible) {
      cursorX = info.PointerPosition.Position.x + cursorHotX;
      cursorY = info.PointerPosition.Position.y + cursorHotY;
      POINT p{};
      // The reported position follows the unrotated image; the system's does not.
      if (rotation != DisplayRotation::Identity && GetCursorPos(&p)) {
        const RECT r = DesktopRect();
        cursorX = p.x - r.left;
        cursorY = p.y - r.top;
      }
    }
  }
  if (info.PointerShapeBufferSize != 0) {
    if (shapeBuffer_.size() < info.PointerShapeBufferSize) shapeBuffer_.resize(info.PointerShapeBufferSize);
    UINT returned = 0;
    DXGI_OUTDUPL_POINTER_SHAPE_INFO si{};
    const HRESULT hr = duplication_->GetFramePointerShape(static_cast<UINT>(shapeBuffer_.size()), shapeBuffer_.data(),
                                                         &returned, &si);
    if (SUCCEEDED(hr)) {
      const size_t filled = std::min<size_t>(returned, shapeBuffer_.size());
      ApplyPointerShape({si.Type, si.Width, si.Height, si.Pitch, si.HotSpot.x, si.HotSpot.y},
                        std::span<const uint8_t>(shapeBuffer_.data(), filled));
    }
  }
}

void DesktopDuplication::ApplyPointerShape(const PointerShapeInfo& info, std::span<const uint8_t> raw) {
  auto converted = ConvertPointerShape(info, raw);
  if (!converted) {
    LogDebug("Pointer shape refused: kind {}, {}x{}, pitch {}, {} bytes", info.type, info.width, info.height,
             info.pitch, raw.size());
    return;
  }
  cursorX += info.hotX - cursorHotX;
  cursorY += info.hotY - cursorHotY;
  cursorWidth = converted->width;
  cursorHeight = converted->height;
  cursorHotX = info.hotX;
  cursorHotY = info.hotY;
  cursorPixels = std::move(converted->pixels);
  ++cursorShapeSerial;
}

}  // namespace kelm
