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
    VideoThread thread;
    thread.Start([&context](std::stop_token stop) { VideoPipeline::ThreadMain(context, std::move(stop)); });
    return thread;
  };
  return parts;
}

StreamInputHooks InputHooksFor(InputRouter& router) {
  StreamInputHooks hooks;
  hooks.setTargetRect = [&router](const ScreenRect& r) {
    router.Injector().SetTargetRect(RECT{r.left, r.top, r.right, r.bottom});
  };
  hooks.takePendingTap = [&router]() -> std::optional<StreamTap> {
    const InputRouter::PendingTap tap = router.TakePendingTap();
    if (!tap.pending) return std::nullopt;
    return StreamTap{tap.point.x, tap.point.y, router.TextFieldInTarget()};
  };
  hooks.caretVerdict = [&router](CaretVerdict verdict) {
    if (verdict == CaretVerdict::KnownTextField) {
      router.UpdateDeviceKeyboard();
    } else {
      router.SetCaretFound(verdict == CaretVerdict::Found);
    }
  };
  hooks.enterLockScreen = [&router] { router.EnterLockScreen(); };
  hooks.setLockScreenSink = [&router](std::shared_ptr<LockScreenInputSink> sink) {
    router.SetLockScreenClient(std::move(sink));
  };
  hooks.leaveLockScreen = [&router] { router.LeaveLockScreen(); };
  return hooks;
}

}  // namespace kelm
