// The parts the product builds its sessions from.
#include "core/session_parts.h"

#include "desktop/file_transfer.h"
#include "desktop/input_router.h"
#include "media/audio_stream.h"
#include "media/session_display.h"
#include "media/stream_context.h"
#include "media/video_pipeline.h"

namespace kelm {

SessionParts DefaultSessionParts() {
  SessionParts parts;
  parts.display = [](VirtualDisplayDriver& driver, const std::string& label) {
    return std::make_unique<SessionDisplay>(driver, label);
  };
  parts.input = [](const std::string& label) { return std::make_unique<InputRouter>(label); };
  parts.audio = [](const std::string& label, SendMessageFn send, std::function<void(const std::string&)> onMessage) {
    return std::make_unique<AudioStream>(label, std::move(send), std::move(onMessage));
  };
  parts.fileTransfer = [](SendMessageFn send, std::function<void(const TransferEvent&)> onEvent) {
    auto sendBytes = [send = std::move(send)](proto::MsgType type, const uint8_t* data, size_t size) {
      msg::Message m;
      m.type = type;
      m.payload.assign(data, data + size);
      return send(m);
    };
    return std::make_unique<FileTransfer>(std::move(sendBytes), std::move(onEvent));
  };
  parts.streamContext = [](StreamSetup setup) { return std::make_unique<StreamContext>(std::move(setup)); };
  parts.video = [](StreamContext& context) {
    return std::thread([&context] { VideoPipeline::ThreadMain(context); });
  };
  return parts;
}

}  // namespace kelm
