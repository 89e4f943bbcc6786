// Stream context: rate changes for the encoder and sending packetised frames.
#include "media/stream_context.h"

namespace kelm {

StreamContext::StreamContext(StreamSetup given)
    : setup(std::move(given)), hello(setup.hello), hevc(setup.useHevc), bitrateKbps(setup.kbps), fps(setup.fps) {
  if (!setup.deviceName.empty()) hello.deviceName = setup.deviceName;
}

void StreamContext::TakeStreamSize(const StreamFeedback::StreamSize& size) {
  hello.panelWidth = size.panelWidth;
  hello.panelHeight = size.panelHeight;
  hello.displayWidth = size.displayWidth;
  hello.displayHeight = size.displayHeight;
}

bool StreamContext::ApplyRateChanges() {
  bool changed = false;
  if (const uint32_t limit = setup.feedback->TakePendingMaxKbps(); limit != 0) {
    setup.feedback->ApplyLimit(limit);
    bitrateKbps = limit;
    changed = true;
    LogInfo("[{}] bitrate -> {} kbps", setup.label, limit);
  }
  if (const uint32_t adapted = setup.feedback->AdaptBitrate(); adapted != 0) {
    bitrateKbps = adapted;
    changed = true;
  }
  if (const uint32_t f = setup.feedback->TakePendingMaxFps(); f != 0) {
    fps = f;
    LogInfo("[{}] frame rate -> {} fps", setup.label, f);
  }
  return changed;
}

bool StreamContext::SendMessages(const std::vector<msg::Message>& messages, uint64_t stamp) {
  for (const msg::Message& m : messages) {
    if (m.type == proto::MsgType::VideoFrame) setup.feedback->RecordSentFrame(stamp, m.payload.size());
    if (!setup.send || !setup.send(m)) return false;
  }
  return true;
}

}  // namespace kelm
