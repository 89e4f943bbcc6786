// The video pipeline's loop: start, steps, restarts, encoding with pacing, caret search
// after taps and the pointer messages.
#include "media/video_pipeline.h"

#include <algorithm>

#include "core/clock.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/text.h"
#include "media/capture_rotation.h"
#include "media/caret_search.h"
#include "media/session_display.h"
#include "media/stream_context.h"
#include "media/video_scale.h"

namespace kelm {
namespace {

}  // namespace

VideoPipeline::VideoPipeline(StreamContext& context, PipelineIo io, std::stop_token stop)
    : context_(&context), io_(std::move(io)), stop_(std::move(stop)) {
  if (!io_.capture) io_.capture = MakeDuplicationCapture();
  if (!io_.encoder) io_.encoder = MakeMediaFoundationEncoder();
  if (!io_.now) io_.now = NowMicros;
  if (!io_.sleep) io_.sleep = [](uint32_t ms) { ::Sleep(ms); };
  lastNewFrame_ = Now();
}

VideoPipeline::~VideoPipeline() {
  // Encoder first: it holds textures of the capture's device.
  io_.encoder.reset();
  io_.capture.reset();
}

proto::VideoCodec VideoPipeline::Codec() const {
  return context_->hevc ? proto::VideoCodec::Hevc : proto::VideoCodec::H264;
}

bool VideoPipeline::Running() const { return !stop_.stop_requested(); }

std::wstring VideoPipeline::DisplayName() const {
  return context_->setup.display ? context_->setup.display->DisplayName() : std::wstring();
}

void VideoPipeline::SendError(const char* text) {
  if (context_->setup.send) context_->setup.send(msg::MakeErrorText(text));  // the session may be gone: ignored
}

void VideoPipeline::Run() {
  if (!Running()) return;
  uint64_t deadline = Now() + kStartMicros;
  bool started = false;
  while (Running()) {
    if (Now() >= deadline) break;
    if (Locked()) {
      StreamLockScreen();
      deadline = Now() + kStartMicros;
      continue;
    }
    if (io_.capture->Open(DisplayName()) && SetupStream()) {
      started = true;
      break;
    }
    Sleep(kStartRetryMs);
  }
  if (started) {
    while (Running() && Step()) {
    }
    io_.encoder->Close();
    if (Running()) SendError(kStoppedText);
    return;
  }
  if (Running()) {
    LogError("[{}] could not start capturing {}", context_->setup.label, WideToUtf8(DisplayName()));
    SendError(kStartFailedText);
  }
}

bool VideoPipeline::OpenEncoder(uint32_t width, uint32_t height, proto::VideoCodec codec) {
  VideoEncoder::Config config;
  config.width = width;
  config.height = height;
  config.fps = context_->fps;
  config.bitrateKbps = context_->bitrateKbps;
  config.codec = codec;
  PipelineCapture& c = *io_.capture;
  return io_.encoder->Open(c.Device(), static_cast<int64_t>(c.AdapterLuid()), c.Width(), c.Height(), c.Rotation(),
                           config);
}

bool VideoPipeline::SetupStream() {
  PipelineCapture& c = *io_.capture;
  const bool sideways = IsQuarterTurn(c.Rotation());
  const uint32_t srcW = sideways ? c.Height() : c.Width();
  const uint32_t srcH = sideways ? c.Width() : c.Height();
  if (srcW == sourceWidth_ && srcH == sourceHeight_ && c.Rotation() == rotation_ &&
      c.DeviceGeneration() == deviceGeneration_) {
    return true;
  }
  const bool mirror = context_->setup.display == nullptr || context_->setup.display->Mirror();
  const EncodedSize size =
      ComputeEncodedSize(srcW, srcH, static_cast<uint32_t>(std::max(context_->FrameWidth(), 0)),
                         static_cast<uint32_t>(std::max(context_->FrameHeight(), 0)), mirror, context_->setup.remote);
  if (size.width == 0 || size.height == 0) return false;  // nothing captured to size a stream on

  if (!OpenEncoder(size.width, size.height, Codec())) {
    if (!context_->hevc) return false;
    LogWarn("[{}] HEVC encoder unavailable, using H.264", context_->setup.label);
    context_->hevc = false;
    if (!OpenEncoder(size.width, size.height, proto::VideoCodec::H264)) return false;
  }
  sourceWidth_ = srcW;
  sourceHeight_ = srcH;
  rotation_ = c.Rotation();
  deviceGeneration_ = c.DeviceGeneration();
  encodedWidth_ = size.width;
  encodedHeight_ = size.height;
  context_->packetizer.Reset();
  context_->setup.feedback->keyFrameRequested.store(true);
  if (context_->setup.send) {
    context_->setup.send(msg::MakeVideoFormat(static_cast<uint16_t>(encodedWidth_), static_cast<uint16_t>(encodedHeight_),
                                        Codec(),
                                        static_cast<uint16_t>(sourceWidth_), static_cast<uint16_t>(sourceHeight_)));
  }
  LogInfo("[{}] streaming {}x{} (source {}x{})", context_->setup.label, encodedWidth_, encodedHeight_, sourceWidth_,
          sourceHeight_);
  if (context_->setup.onStreamSize) context_->setup.onStreamSize(encodedWidth_, encodedHeight_);
  return true;
}

void VideoPipeline::PushTargetRect(uint64_t now) {
  if (const auto& setTargetRect = context_->setup.input.setTargetRect) {
    const RECT r = io_.capture->DesktopRect();
    setTargetRect(ScreenRect{r.left, r.top, r.right, r.bottom});
  }
  lastRectPush_ = now;
}

bool VideoPipeline::Step() {
  const uint64_t now = Now();
  if (!lastRectPush_ || now - *lastRectPush_ > kRectPushMicros) PushTargetRect(now);

  if (const auto size = context_->setup.feedback->TakePendingResize()) {
    context_->TakeStreamSize(*size);
    if (context_->setup.display) context_->setup.display->ApplyOrientation(*size, context_->fps);
    sourceWidth_ = 0;
    restartRequested_ = true;
  }

  context_->ApplyRate(*io_.encoder);

  // Only a peek: the request is taken when a frame is actually encoded.
  const bool force = context_->setup.feedback->keyFrameRequested.load() && contentCaptured_;
  EncodeAndSend(now, force);

  if (restartRequested_) {
    restartRequested_ = false;
    CaretStep(CaptureResult::Lost);
    return Restart();
  }

  uint32_t waitMs = kMaxWaitMs;
  // While paused nothing can be sent however soon it is due: a short wait would only spin.
  if ((framePending_ || force) && !context_->setup.feedback->Paused()) {
    const uint64_t t = Now();
    waitMs = nextDue_ > t ? static_cast<uint32_t>(std::min<uint64_t>((nextDue_ - t + 999) / 1000, kMaxWaitMs)) : 1;
    if (!context_->setup.feedback->CanSendFrame(context_->fps)) waitMs = std::max<uint32_t>(waitMs, 2);
    waitMs = std::min(waitMs, kMaxWaitMs);
  }
  const CaptureResult r = io_.capture->AcquireFrame(waitMs);
  restartRequested_ = false;
  CaretStep(r);
  switch (r) {
    case CaptureResult::NewImage:
      framePending_ = true;
      contentCaptured_ = true;
      lastNewFrame_ = Now();
      SendCursor();
      return true;
    case CaptureResult::NothingNew:
      SendCursor();
      return true;
    default:
      return Restart();
  }
}

bool VideoPipeline::Restart() {
  while (Running()) {
    if (Locked()) {
      StreamLockScreen();
      lastCursorSent_.reset();
      sourceWidth_ = 0;
      if (!Running()) return false;
    }
    if (io_.capture->Recreate()) break;
    Sleep(kRestartRetryMs);
  }
  if (!Running()) return false;
  if (!SetupStream()) {
    LogError("[{}] could not restart the pipeline", context_->setup.label);
    return false;
  }
  PushTargetRect(Now());
  framePending_ = false;
  contentCaptured_ = false;
  // Repeats refine an image of the old capture: none of them may survive the restart.
  refreshCount_ = 0;
  lastShapeSerialSent_ = 0;
  SendCursor();
  return true;
}

void VideoPipeline::EncodeAndSend(uint64_t now, bool forceKeyFrame) {
  const bool repeat =
      !framePending_ && contentCaptured_ && refreshCount_ >= 1 && now - lastNewFrame_ > kRepeatAfterMicros;
  if (!framePending_ && !forceKeyFrame && !repeat) return;
  StreamFeedback& feedback = *context_->setup.feedback;
  if (!feedback.CanSendFrame(context_->fps) || now < nextDue_ || feedback.Paused()) return;

  // Taken at the moment of encoding, in one exchange, so that a request arriving after
  // the step looked is kept for this frame or the next instead of being cleared unseen;
  // without captured content there is nothing to make a key frame of, so it stays pending.
  const bool key = contentCaptured_ && feedback.keyFrameRequested.exchange(false);
  if (!framePending_ && !repeat && !key) return;  // the request was taken by an earlier frame

  frames_.clear();
  if (!io_.encoder->Encode(io_.capture->Texture(), static_cast<int64_t>(now), key, frames_)) {
    LogError("[{}] encoder failed; restarting pipeline", context_->setup.label);
    if (key) feedback.keyFrameRequested.store(true);  // the frame never left
    sourceWidth_ = 0;
    restartRequested_ = true;
    return;
  }
  for (const EncodedFrame& frame : frames_) {
    if (!context_->SendFrame(frame, *io_.encoder)) {
      if (context_->setup.onPipelineFailed) context_->setup.onPipelineFailed();
      return;
    }
  }
  if (framePending_) {
    refreshCount_ = kRepeats;
  } else if (repeat) {
    --refreshCount_;
  }
  framePending_ = false;
  const uint64_t interval = 1000000 / std::max<uint32_t>(context_->fps, 1);
  nextDue_ = std::max(nextDue_ + interval, now + interval * 3 / 4);
}

void VideoPipeline::CaretStep(CaptureResult captureResult) {
  PipelineCapture& c = *io_.capture;
  const uint64_t now = Now();
  const StreamInputHooks& input = context_->setup.input;
  if (const std::optional<StreamTap> tap = input.takePendingTap ? input.takePendingTap() : std::nullopt) {
    if (c.Rotation() != DisplayRotation::Identity) {
      caret_.Arm(RECT{}, now, 0);
    } else if (tap->inTextField) {
      caret_.Arm(RECT{}, now, 0);
      if (input.caretVerdict) input.caretVerdict(CaretVerdict::KnownTextField);
    } else {
      const RECT desk = c.DesktopRect();
      const int32_t y = tap->y - desk.top;
      const int32_t height = static_cast<int32_t>(c.Height());
      RECT band{0, std::max(y - kCaretBand, 0), static_cast<LONG>(c.Width()), std::min(y + kCaretBand, height)};
      caret_.Arm(band, now, kCaretSearchMicros);
      LogDebug("[{}] tap at ({},{}): looking for a caret", context_->setup.label, tap->x, tap->y);
    }
  }
  if (!caret_.Armed()) return;
  const int result = captureResult == CaptureResult::NewImage
                         ? caret_.OnFrame(c.Device(), c.Context(), c.Texture(), now)
                         : caret_.CheckTimeout(now);
  if (result == kCaretFound || result == kCaretTimedOut) {
    LogDebug("[{}] caret {}", context_->setup.label, result == kCaretFound ? "found - text field" : "not found");
    if (input.caretVerdict) input.caretVerdict(result == kCaretFound ? CaretVerdict::Found : CaretVerdict::NotFound);
  }
}

void VideoPipeline::SendCursor() {
  const CapturedPointer& p = io_.capture->Pointer();
  if (p.shapeSerial != lastShapeSerialSent_ && !p.pixels.empty()) {
    if (context_->setup.send) {
      context_->setup.send(msg::MakeCursorShape(static_cast<uint16_t>(p.width), static_cast<uint16_t>(p.height),
                                          static_cast<uint16_t>(p.hotX), static_cast<uint16_t>(p.hotY), p.pixels));
    }
    lastShapeSerialSent_ = p.shapeSerial;
  }
  if (sourceWidth_ == 0 || sourceHeight_ == 0) return;
  const int32_t x = static_cast<int32_t>((int64_t{p.x} - p.hotX) * encodedWidth_ / int64_t{sourceWidth_});
  const int32_t y = static_cast<int32_t>((int64_t{p.y} - p.hotY) * encodedHeight_ / int64_t{sourceHeight_});
  if (lastCursorSent_ && lastCursorSent_->visible == p.visible && (!p.visible || (lastCursorSent_->x == x &&
                                                                                  lastCursorSent_->y == y))) {
    return;
  }
  if (context_->setup.send) context_->setup.send(msg::MakeCursorPosition(p.visible, x, y));
  lastCursorSent_ = CursorSent{p.visible, x, y};
}

}  // namespace kelm
