#pragma once
// One session's video stream parameters and the path from an encoded frame to the
// device: packetising, sending, recording for feedback, and applying rate changes.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/messages.h"
#include "core/session_parts.h"
#include "media/annexb.h"
#include "media/encoded_frame.h"
#include "media/stream_feedback.h"
#include "media/video_packetizer.h"

namespace kelm {

class StreamContext {
 public:
  using SendFn = std::function<bool(const msg::Message&)>;

  StreamContext() = default;
  // The session's parameters and its ways back in, as the session hands them over.
  explicit StreamContext(StreamSetup setup);

  std::string label;
  msg::Hello hello;
  bool remote = false;
  bool hevc = false;
  uint32_t bitrateKbps = 0;
  uint32_t fps = 0;
  const std::atomic<bool>* running = nullptr;
  SendFn send;
  StreamFeedback* feedback = nullptr;
  InputRouter* inputRouter = nullptr;
  SessionDisplay* display = nullptr;
  VideoPacketizer packetizer;
  std::function<void(unsigned, unsigned)> onStreamSize;
  std::function<void()> onPipelineFailed;

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
                             hevc ? kCodecHevc : kCodecH264, [&encoder] { return encoder.SequenceHeader(); }),
        static_cast<uint64_t>(frame.timeMicros));
  }

 private:
  // True when the bitrate for the encoder changed.
  bool ApplyRateChanges();
  bool SendMessages(const std::vector<msg::Message>& messages, uint64_t stamp);
};

}  // namespace kelm
