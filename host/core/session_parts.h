#pragma once
// The heavy parts of a session (display, input, audio, file transfer, stream context
// and video thread), each made by one replaceable function, so that tests build
// sessions without real capture or injection unless they ask for it.
#include <functional>
#include <memory>
#include <string>

#include "core/messages.h"
#include "media/stream_context.h"
#include "media/video_thread.h"

namespace kelm {

class AudioStream;
class FileTransfer;
class InputRouter;
class SessionDisplay;
class VirtualDisplayDriver;
struct TransferEvent;

// One create function per part. A function that is empty, or returns nothing, leaves
// the session without that part: no display set-up (every device mirrors), no input,
// no audio, no file transfer, no video.
struct SessionParts {
  std::function<std::unique_ptr<SessionDisplay>(VirtualDisplayDriver& driver, const std::string& label)> display;
  std::function<std::unique_ptr<InputRouter>(const std::string& label)> input;
  std::function<std::unique_ptr<AudioStream>(const std::string& label, SendMessageFn send,
                                             std::function<void(const std::string&)> onMessage)>
      audio;
  std::function<std::unique_ptr<FileTransfer>(SendMessageFn send,
                                              std::function<void(const TransferEvent&)> onEvent)>
      fileTransfer;
  std::function<std::unique_ptr<StreamContext>(StreamSetup setup)> streamContext;
  // Starts the video thread on the context; a thread never started when there is no video.
  std::function<VideoThread(StreamContext& context)> video;
};

// The parts the product uses.
SessionParts DefaultSessionParts();

// The video thread's ways into a session's input router: the capture's rectangle, the
// taps the caret search follows, and what the search found. `router` must outlive them.
StreamInputHooks InputHooksFor(InputRouter& router);

}  // namespace kelm
