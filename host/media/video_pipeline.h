#pragma once
// One session's video thread: captures the session's display, encodes it and hands the
// frames to the stream context, keeps the device told of the format and the pointer,
// looks for a caret after taps, and restarts itself when capture or encoding fails.
#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "media/caret_finder.h"
#include "media/encoded_frame.h"
#include "media/video_pipeline_io.h"

namespace kelm {

class StreamContext;

class VideoPipeline {
 public:
  // Texts of message 41.
  static constexpr const char* kStoppedText =
      "The host's video pipeline stopped (GPU or encoder error). Please reconnect.";
  static constexpr const char* kStartFailedText = "The host could not capture or encode the display.";

  static constexpr uint64_t kStartMicros = 10000000;     // to capture for the first time
  static constexpr uint32_t kStartRetryMs = 200;
  static constexpr uint32_t kRestartRetryMs = 100;
  static constexpr uint64_t kRepeatAfterMicros = 200000;  // still screen: refine after this
  static constexpr int32_t kRepeats = 2;
  static constexpr uint32_t kMaxWaitMs = 50;
  static constexpr uint64_t kRectPushMicros = 500000;
  static constexpr int32_t kCaretBand = 48;
  static constexpr uint64_t kCaretSearchMicros = 1600000;

  // The thread's body with the product's capture, encoder and clock, until `stop`.
  static void ThreadMain(StreamContext& context, std::stop_token stop);
  // The same with the given parts (empty ones take the product's).
  static void ThreadMain(StreamContext& context, PipelineIo io, std::stop_token stop);

  VideoPipeline(StreamContext& context, PipelineIo io, std::stop_token stop);
  ~VideoPipeline();
  VideoPipeline(const VideoPipeline&) = delete;
  VideoPipeline& operator=(const VideoPipeline&) = delete;

  void Run();

  uint32_t EncodedWidth() const { return encodedWidth_; }
  uint32_t EncodedHeight() const { return encodedHeight_; }

 private:
  bool Step();
  bool SetupStream();
  bool OpenEncoder(uint32_t width, uint32_t height, proto::VideoCodec codec);
  proto::VideoCodec Codec() const;
  bool Restart();
  void EncodeAndSend(uint64_t now, bool forceKeyFrame);
  void CaretStep(CaptureResult captureResult);
  void SendCursor();
  void PushTargetRect(uint64_t now);
  bool Running() const;
  uint64_t Now() const { return io_.now(); }
  void Sleep(uint32_t ms) const { io_.sleep(ms); }
  bool Locked() const { return io_.lockScreen.locked && io_.lockScreen.locked(); }
  void StreamLockScreen() {
    if (io_.lockScreen.stream) io_.lockScreen.stream(stop_);
  }
  std::wstring DisplayName() const;
  void SendError(const char* text);

  StreamContext* context_;
  PipelineIo io_;
  std::stop_token stop_;
  CaretFinder caret_;
  std::vector<EncodedFrame> frames_;
  uint32_t sourceWidth_ = 0, sourceHeight_ = 0;
  uint32_t deviceGeneration_ = 0;
  DisplayRotation rotation_ = DisplayRotation::Unspecified;
  uint32_t encodedWidth_ = 0, encodedHeight_ = 0;
  bool restartRequested_ = false;
  bool framePending_ = false;
  bool contentCaptured_ = false;
  int32_t refreshCount_ = 0;
  uint64_t nextDue_ = 0;
  uint64_t lastNewFrame_ = 0;
  std::optional<uint64_t> lastRectPush_;
  uint32_t lastShapeSerialSent_ = 0;
  struct CursorSent {
    bool visible;
    int32_t x, y;
  };
  std::optional<CursorSent> lastCursorSent_;
};

}  // namespace kelm
