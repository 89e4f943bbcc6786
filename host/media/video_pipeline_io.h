#pragma once
// What the video pipeline captures with, encodes with and keeps time by, as replaceable
// objects: the product uses desktop duplication, the Media Foundation encoder and the
// process clock; tests script them.
#include <windows.h>
#include <d3d11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "media/capture_result.h"
#include "media/capture_rotation.h"
#include "media/encoded_frame.h"
#include "media/video_encoder.h"

namespace kelm {

// The mouse pointer as the capture last saw it.
struct CapturedPointer {
  bool visible = false;
  int32_t x = 0;  // hot-spot position in the output's own pixels
  int32_t y = 0;
  uint32_t shapeSerial = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t hotX = 0;
  int32_t hotY = 0;
  std::vector<uint8_t> pixels;  // B8G8R8A8, top-down
};

class PipelineCapture {
 public:
  virtual ~PipelineCapture() = default;
  virtual bool Open(const std::wstring& deviceName) = 0;
  virtual bool Recreate() = 0;
  virtual CaptureResult AcquireFrame(uint32_t timeoutMs) = 0;
  virtual RECT DesktopRect() const = 0;

  virtual uint32_t Width() const = 0;  // unrotated
  virtual uint32_t Height() const = 0;
  virtual DisplayRotation Rotation() const = 0;
  virtual uint32_t DeviceGeneration() const = 0;
  virtual uint64_t AdapterLuid() const = 0;
  virtual ID3D11Device* Device() const = 0;
  virtual ID3D11DeviceContext* Context() const = 0;
  virtual ID3D11Texture2D* Texture() const = 0;  // the last captured image
  virtual const CapturedPointer& Pointer() const = 0;
};

class PipelineEncoder {
 public:
  virtual ~PipelineEncoder() = default;
  virtual bool Open(ID3D11Device* device, int64_t adapterLuid, uint32_t sourceWidth, uint32_t sourceHeight,
                    DisplayRotation rotation, const VideoEncoder::Config& config) = 0;
  virtual bool Encode(ID3D11Texture2D* frame, int64_t timeMicros, bool forceKeyFrame,
                      std::vector<EncodedFrame>& out) = 0;
  virtual void SetBitrate(uint32_t kbps) = 0;
  virtual std::vector<uint8_t> SequenceHeader() const = 0;
  virtual void Close() = 0;
  virtual uint32_t Width() const = 0;  // 0 while not open
};

// Whether the PC's session is locked and the lock-screen stream that runs meanwhile.
// ThreadMain fills both in when both are empty; a pipeline built directly with only
// `locked` empty counts the PC as never locked.
struct PipelineLockScreen {
  std::function<bool()> locked;
  std::function<void(std::stop_token stop)> stream;  // until unlocked or `stop`
};

// Everything the pipeline runs on. Empty members take the product's choice.
struct PipelineIo {
  std::unique_ptr<PipelineCapture> capture;
  std::unique_ptr<PipelineEncoder> encoder;
  std::function<uint64_t()> now;                 // monotonic microseconds
  std::function<void(uint32_t ms)> sleep;
  PipelineLockScreen lockScreen;
};

// Desktop duplication and the Media Foundation encoder.
std::unique_ptr<PipelineCapture> MakeDuplicationCapture();
std::unique_ptr<PipelineEncoder> MakeMediaFoundationEncoder();

}  // namespace kelm
