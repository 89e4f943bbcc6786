// The video thread's body, and the product's capture, encoder and lock-screen stream
// behind the pipeline's replaceable parts.
#include <windows.h>
#include <avrt.h>
#include <objbase.h>

#include "core/com_apartment.h"
#include "media/desktop_duplication.h"
#include "media/lock_screen_stream.h"
#include "media/session_lock.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"

namespace kelm {
namespace {

class DuplicationCapture final : public PipelineCapture {
 public:
  bool Open(const std::wstring& deviceName) override { return Took(dup_.Open(deviceName)); }
  bool Recreate() override { return Took(dup_.Recreate()); }
  CaptureResult AcquireFrame(uint32_t timeoutMs) override {
    const CaptureResult r = dup_.AcquireFrame(timeoutMs);
    TakePointer();
    // Windows switches to the secure desktop on a lock, which ends duplication; the GDI
    // stand-in would go on copying the user's desktop, so it reports the image lost.
    if (dup_.UsingStandIn() && IsSessionLocked(session_)) return CaptureResult::Lost;
    return r;
  }
  RECT DesktopRect() const override { return dup_.DesktopRect(); }
  uint32_t Width() const override { return dup_.width; }
  uint32_t Height() const override { return dup_.height; }
  DisplayRotation Rotation() const override { return dup_.rotation; }
  uint32_t DeviceGeneration() const override { return dup_.deviceGeneration; }
  uint64_t AdapterLuid() const override { return dup_.adapterLuid; }
  ID3D11Device* Device() const override { return dup_.Device(); }
  ID3D11DeviceContext* Context() const override { return dup_.Context(); }
  ID3D11Texture2D* Texture() const override { return dup_.Texture(); }
  const CapturedPointer& Pointer() const override { return pointer_; }

 private:
  bool Took(bool ok) {
    TakePointer();
    return ok;
  }
  void TakePointer() {
    pointer_.visible = dup_.cursorVisible;
    pointer_.x = dup_.cursorX;
    pointer_.y = dup_.cursorY;
    if (pointer_.shapeSerial != dup_.cursorShapeSerial) {
      pointer_.shapeSerial = dup_.cursorShapeSerial;
      pointer_.width = dup_.cursorWidth;
      pointer_.height = dup_.cursorHeight;
      pointer_.hotX = dup_.cursorHotX;
      pointer_.hotY = dup_.cursorHotY;
      pointer_.pixels = dup_.cursorPixels;
    }
  }

  DesktopDuplication dup_;
  CapturedPointer pointer_;
  uint32_t session_ = OwnSessionId();
};

class MediaFoundationEncoder final : public PipelineEncoder {
 public:
  bool Open(ID3D11Device* device, int64_t adapterLuid, uint32_t sourceWidth, uint32_t sourceHeight,
            DisplayRotation rotation, const VideoEncoder::Config& config) override {
    return encoder_.Open(device, adapterLuid, sourceWidth, sourceHeight, rotation, config);
  }
  bool Encode(ID3D11Texture2D* frame, int64_t timeMicros, bool forceKeyFrame,
              std::vector<EncodedFrame>& out) override {
    return encoder_.Encode(frame, timeMicros, forceKeyFrame, out);
  }
  void SetBitrate(uint32_t kbps) override { encoder_.SetBitrate(kbps); }
  std::vector<uint8_t> SequenceHeader() const override { return encoder_.SequenceHeader(); }
  void Close() override { encoder_.Close(); }
  uint32_t Width() const override { return encoder_.Width(); }

 private:
  VideoEncoder encoder_;
};

}  // namespace

std::unique_ptr<PipelineCapture> MakeDuplicationCapture() { return std::make_unique<DuplicationCapture>(); }
std::unique_ptr<PipelineEncoder> MakeMediaFoundationEncoder() { return std::make_unique<MediaFoundationEncoder>(); }

void VideoPipeline::ThreadMain(StreamContext& context, std::stop_token stop) {
  ThreadMain(context, PipelineIo{}, std::move(stop));
}

void VideoPipeline::ThreadMain(StreamContext& context, PipelineIo io, std::stop_token stop) {
  if (!io.lockScreen.locked && !io.lockScreen.stream) io.lockScreen = LockScreenHooks(context);
  const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
  DWORD taskIndex = 0;
  const HANDLE task = AvSetMmThreadCharacteristicsW(L"Capture", &taskIndex);
  {
    VideoPipeline pipeline(context, std::move(io), std::move(stop));
    pipeline.Run();
  }
  // Ends the session unless it is already ending.
  if (context.setup.onPipelineFailed) context.setup.onPipelineFailed();
  if (task) AvRevertMmThreadCharacteristics(task);
}

}  // namespace kelm
