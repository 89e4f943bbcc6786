// Stream context: rate changes for the encoder and sending packetised frames.
#include "media/stream_context.h"

namespace kelm {

StreamContext::StreamContext(StreamSetup setup)
    : label(std::move(setup.label)),
      hello(std::move(setup.hello)),
      remote(setup.remote),
      hevc(setup.useHevc),
      bitrateKbps(setup.kbps),
      fps(setup.fps),
      running(setup.running),
      send(std::move(setup.send)),
      feedback(setup.feedback),
      inputRouter(setup.input),
      display(setup.display),
      onStreamSize(std::move(setup.onStreamSize)),
      onPipelineFailed(std::move(setup.onPipelineFailed)) {
  if (!setup.deviceName.empty()) hello.deviceName = std::move(setup.deviceName);
}

void StreamContext::TakeStreamSize(const StreamFeedback::StreamSize& size) {
  hello.panelWidth = size.panelWidth;
  hello.panelHeight = size.panelHeight;
  hello.displayWidth = size.displayWidth;
  hello.displayHeight = size.displayHeight;
}

bool StreamContext::ApplyRateChanges() {
  bool changed = false;
  if (const uint32_t limit = feedback->TakePendingMaxKbps(); limit != 0) {
    feedback->ApplyLimit(limit);
    bitrateKbps = limit;
    changed = true;
    LogInfo("[{}] bitrate -> {} kbps", label, limit);
  }
  if (const uint32_t adapted = feedback->AdaptBitrate(); adapted != 0) {
    bitrateKbps = adapted;
    changed = true;
  }
  if (const uint32_t f = feedback->TakePendingMaxFps(); f != 0) {
    fps = f;
    LogInfo("[{}] frame rate -> {} fps", label, f);
  }
  return changed;
}

bool StreamContext::SendMessages(const std::vector<msg::Message>& messages, uint64_t stamp) {
  for (const msg::Message& m : messages) {
    if (m.type == proto::MsgType::VideoFrame) feedback->RecordSentFrame(stamp, m.payload.size());
    if (!send || !send(m)) return false;
  }
  return true;
}

}  // namespace kelm
