#pragma once
// One session's video stream parameters and the path from an encoded frame to the
// device: packetising, sending, recording for feedback, and applying rate changes.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/lock_screen_input_sink.h"
#include "core/log.h"
#include "core/messages.h"
#include "media/annexb.h"
#include "media/encoded_frame.h"
#include "media/stream_feedback.h"
#include "media/video_packetizer.h"

namespace kelm {

class SessionDisplay;

// A rectangle of the virtual desktop, in physical pixels.
struct ScreenRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// A tap of the device's pen or finger, as the session's input side hands it to the
// caret search.
struct StreamTap {
  int32_t x = 0, y = 0;       // desktop pixels
  bool inTextField = false;   // a reported text field already covers the target
};

// What the caret search after a tap concluded.
enum class CaretVerdict {
  Found,           // a blinking caret: a text field without a report
  NotFound,        // no caret in time, or no search (rotated capture)
  KnownTextField,  // no search: a reported text field is under the target
};

// How the video thread tells the session's input side what it captures and learns.
// Each may be empty (a session without input).
struct StreamInputHooks {
  std::function<void(const ScreenRect& desktop)> setTargetRect;  // where input lands
  std::function<std::optional<StreamTap>()> takePendingTap;      // the last tap since asked
  std::function<void(CaretVerdict verdict)> caretVerdict;
  // While the PC is locked: everything on the user's desktop lifted, the device's input
  // going to the lock screen's sink (empty: to nowhere), and the desktop given back.
  std::function<void()> enterLockScreen;
  std::function<void(std::shared_ptr<LockScreenInputSink> sink)> setLockScreenSink;
  std::function<void()> leaveLockScreen;
};

// What the stream context is built from when a session's services start.
struct StreamSetup {
  std::string label;
  msg::Hello hello;  // with the negotiated kbps
  std::string deviceName;
  bool remote = false;
  bool useHevc = false;
  uint32_t kbps = 0;
  uint32_t fps = 0;
  SendMessageFn send;
  StreamFeedback* feedback = nullptr;
  StreamInputHooks input;
  SessionDisplay* display = nullptr;  // may be null
  std::function<void(uint32_t width, uint32_t height)> onStreamSize;
  std::function<void()> onPipelineFailed;
};

class StreamContext {
 public:
  // The session's parameters and its ways back in, as the session hands them over.
  explicit StreamContext(StreamSetup given);

  const StreamSetup setup;
  // What changes while the stream runs: the device's view (its Hello, resized), the
  // codec (HEVC falls back to H.264 when no encoder takes it), the bitrate and the frame rate.
  msg::Hello hello;
  bool hevc = false;
  uint32_t bitrateKbps = 0;
  uint32_t fps = 0;
  VideoPacketizer packetizer;

  int FrameWidth() const { return hello.displayWidth != 0 ? hello.displayWidth : std::max<int>(hello.panelWidth, 640); }
  int FrameHeight() const {
    return hello.displayHeight != 0 ? hello.displayHeight : std::max<int>(hello.panelHeight, 480);
  }
  // Takes the device's new view size into the Hello copy.
  void TakeStreamSize(const StreamFeedback::StreamSize& size);

  // Device limits and the adaptation, once per loop step. `Encoder` offers Width()
  // (0 while not open) and SetBitrate(kbps).
  template <typename Encoder>
  void ApplyRate(Encoder& encoder) {
    if (ApplyRateChanges() && encoder.Width() != 0) encoder.SetBitrate(bitrateKbps);
  }

  // Packetises and sends one frame; false when a send failed (the rest is dropped).
  // `Encoder` offers SequenceHeader() returning the parameter sets as bytes.
  template <typename Encoder>
  bool SendFrame(const EncodedFrame& frame, Encoder& encoder) {
    return SendMessages(
        packetizer.Packetize(static_cast<uint64_t>(frame.timeMicros), frame.keyFrame, frame.data,
                             hevc ? proto::VideoCodec::Hevc : proto::VideoCodec::H264, [&encoder] { return encoder.SequenceHeader(); }),
        static_cast<uint64_t>(frame.timeMicros));
  }

 private:
  // True when the bitrate for the encoder changed.
  bool ApplyRateChanges();
  bool SendMessages(const std::vector<msg::Message>& messages, uint64_t stamp);
};

}  // namespace kelm
