#pragma once
// Session parts whose video thread reports when each stage ran: the real duplication
// capture and Media Foundation encoder wrapped so that every new image, every Encode call
// and every message sent is stamped (NowMicros) for the benchmark that listens.
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/clock.h"
#include "core/session_parts.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"
#include "media/video_thread.h"

namespace kelm::bench {

// Called from the session's video thread.
class StageEvents {
 public:
  virtual ~StageEvents() = default;
  // AcquireFrame ran from `start` to `end` and gave a new image.
  virtual void Captured(uint64_t start, uint64_t end) = 0;
  // Encode ran from `start` to `end`; `produced` when it gave encoded frames.
  virtual void Encoded(uint64_t start, uint64_t end, bool produced) = 0;
  // A message of `type` was sealed and written from `start` to `end`.
  virtual void Sent(proto::MsgType type, uint64_t start, uint64_t end) = 0;
};

class TimedCapture final : public PipelineCapture {
 public:
  explicit TimedCapture(std::shared_ptr<StageEvents> events)
      : inner_(MakeDuplicationCapture()), events_(std::move(events)) {}
  bool Open(const std::wstring& name) override { return inner_->Open(name); }
  bool Recreate() override { return inner_->Recreate(); }
  CaptureResult AcquireFrame(uint32_t timeoutMs) override {
    const uint64_t t = NowMicros();
    const CaptureResult r = inner_->AcquireFrame(timeoutMs);
    if (r == CaptureResult::NewImage) events_->Captured(t, NowMicros());
    return r;
  }
  RECT DesktopRect() const override { return inner_->DesktopRect(); }
  uint32_t Width() const override { return inner_->Width(); }
  uint32_t Height() const override { return inner_->Height(); }
  DisplayRotation Rotation() const override { return inner_->Rotation(); }
  uint32_t DeviceGeneration() const override { return inner_->DeviceGeneration(); }
  uint64_t AdapterLuid() const override { return inner_->AdapterLuid(); }
  ID3D11Device* Device() const override { return inner_->Device(); }
  ID3D11DeviceContext* Context() const override { return inner_->Context(); }
  ID3D11Texture2D* Texture() const override { return inner_->Texture(); }
  const CapturedPointer& Pointer() const override { return inner_->Pointer(); }

 private:
  std::unique_ptr<PipelineCapture> inner_;
  std::shared_ptr<StageEvents> events_;
};

class TimedEncoder final : public PipelineEncoder {
 public:
  explicit TimedEncoder(std::shared_ptr<StageEvents> events)
      : inner_(MakeMediaFoundationEncoder()), events_(std::move(events)) {}
  bool Open(ID3D11Device* d, int64_t luid, uint32_t sw, uint32_t sh, DisplayRotation rotation,
            const VideoEncoder::Config& config) override {
    return inner_->Open(d, luid, sw, sh, rotation, config);
  }
  bool Encode(ID3D11Texture2D* frame, int64_t time, bool key, std::vector<EncodedFrame>& out) override {
    const uint64_t t = NowMicros();
    const bool ok = inner_->Encode(frame, time, key, out);
    events_->Encoded(t, NowMicros(), !out.empty());
    return ok;
  }
  void SetBitrate(uint32_t kbps) override { inner_->SetBitrate(kbps); }
  std::vector<uint8_t> SequenceHeader() const override { return inner_->SequenceHeader(); }
  void Close() override { inner_->Close(); }
  uint32_t Width() const override { return inner_->Width(); }

 private:
  std::unique_ptr<PipelineEncoder> inner_;
  std::shared_ptr<StageEvents> events_;
};

// The default parts without audio, with the video thread's capture, encoder and sends timed.
inline SessionParts TimedVideoParts(std::shared_ptr<StageEvents> events) {
  SessionParts parts = DefaultSessionParts();
  parts.audio = nullptr;
  parts.streamContext = [events](StreamSetup setup) {
    auto inner = setup.send;
    setup.send = [inner, events](const msg::Message& m) {
      const uint64_t t = NowMicros();
      const bool ok = inner(m);
      events->Sent(m.type, t, NowMicros());
      return ok;
    };
    return std::make_unique<StreamContext>(std::move(setup));
  };
  parts.video = [events](StreamContext& context) {
    VideoThread thread;
    thread.Start([&context, events](std::stop_token stop) {
      PipelineIo io;
      io.capture = std::make_unique<TimedCapture>(events);
      io.encoder = std::make_unique<TimedEncoder>(events);
      VideoPipeline::ThreadMain(context, std::move(io), std::move(stop));
    });
    return thread;
  };
  return parts;
}

}  // namespace kelm::bench
