#pragma once
// Captures one display output with DXGI desktop duplication into a texture of its own,
// and keeps the mouse pointer's position and shape.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "media/capture_result.h"
#include "media/capture_rotation.h"
#include "media/pointer_shape.h"

namespace kelm {

class GdiCaptureStandIn;

class DesktopDuplication {
 public:
  DesktopDuplication();
  ~DesktopDuplication();
  DesktopDuplication(const DesktopDuplication&) = delete;
  DesktopDuplication& operator=(const DesktopDuplication&) = delete;

  // `name` is the output's GDI device name, such as "\\.\DISPLAY1".
  bool Open(const std::wstring& name);
  // Finds the output again and makes device, duplication and texture as needed.
  bool Recreate();
  // Captures through a duplication made elsewhere (a scripted one, in tests) on `device`
  // into `texture`, an image of `imageWidth` x `imageHeight`, with no output to find again.
  void Adopt(Microsoft::WRL::ComPtr<ID3D11Device> device, Microsoft::WRL::ComPtr<ID3D11DeviceContext> context,
             Microsoft::WRL::ComPtr<IDXGIOutputDuplication> duplication,
             Microsoft::WRL::ComPtr<ID3D11Texture2D> texture, uint32_t imageWidth, uint32_t imageHeight);
  // Lets go of the duplication, the output, the texture and the device.
  void Close();
  CaptureResult AcquireFrame(uint32_t timeoutMs);
  // The output's desktop coordinates; (0, 0, width, height) when they cannot be read.
  RECT DesktopRect() const;
  // True while the GDI stand-in captures in place of duplication.
  bool UsingStandIn() const { return standIn_ != nullptr; }
  // The stand-in's last image in memory (top-down B8G8R8A8, 4 x width bytes a row), valid
  // until the next AcquireFrame; null with real duplication.
  const uint8_t* StandInImage() const;
  // False for an owner that reads StandInImage only: the stand-in then leaves the capture
  // texture alone, as its upload would be a copy no one reads.
  bool standInFillsTexture = true;

  // Read by the owner (the video thread, the caret test).
  bool cursorVisible = false;
  int32_t cursorX = 0;  // hot-spot position in the output's own pixels
  int32_t cursorY = 0;
  uint32_t cursorShapeSerial = 0;
  uint32_t cursorWidth = 0;
  uint32_t cursorHeight = 0;
  int32_t cursorHotX = 0;
  int32_t cursorHotY = 0;
  std::vector<uint8_t> cursorPixels;  // B8G8R8A8, top-down, 4 x cursorWidth bytes per row

  std::wstring deviceName;
  uint64_t adapterLuid = 0;
  uint32_t deviceGeneration = 0;  // rises with every new device
  // The device the capture runs on and the B8G8R8A8 copy of the last image (null until open).
  ID3D11Device* Device() const { return device_.Get(); }
  ID3D11DeviceContext* Context() const { return context_.Get(); }
  ID3D11Texture2D* Texture() const { return captureTexture_.Get(); }
  uint32_t width = 0;
  uint32_t height = 0;
  DisplayRotation rotation = DisplayRotation::Identity;

  // A new raw pointer shape: converted and taken when it is sound, else ignored.
  // Also used by the stand-in, which rebuilds the system cursor as a raw shape.
  void ApplyPointerShape(const PointerShapeInfo& info, std::span<const uint8_t> raw);

 private:
  bool Duplicate();
  bool EnsureCaptureTexture();
  void ReleaseHeldFrame();
  void UpdatePointer(const DXGI_OUTDUPL_FRAME_INFO& info);

  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
  Microsoft::WRL::ComPtr<IDXGIOutput1> output_;
  Microsoft::WRL::ComPtr<IDXGIOutputDuplication> duplication_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> captureTexture_;
  std::vector<uint8_t> shapeBuffer_;
  bool frameHeld_ = false;
  std::unique_ptr<GdiCaptureStandIn> standIn_;
};

}  // namespace kelm
