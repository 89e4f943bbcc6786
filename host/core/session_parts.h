#pragma once
// The heavy parts of a session (display, input, audio, file transfer, stream context
// and video thread), each made by one replaceable function, so that tests build
// sessions without real capture or injection unless they ask for it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/messages.h"

namespace kelm {

class AudioStream;
class FileTransfer;
class InputRouter;
class SessionDisplay;
class StreamContext;
class StreamFeedback;
class VirtualDisplayDriver;
struct TransferEvent;

// Sends one message on the session; false once the session no longer runs.
using SendMessageFn = std::function<bool(const msg::Message&)>;

// What the stream context is built from when a session's services start.
struct StreamSetup {
  std::string label;
  msg::Hello hello;  // with the negotiated kbps
  std::string deviceName;
  bool remote = false;
  bool useHevc = false;
  uint32_t kbps = 0;
  uint32_t fps = 0;
  const std::atomic<bool>* running = nullptr;
  SendMessageFn send;
  StreamFeedback* feedback = nullptr;
  InputRouter* input = nullptr;    // may be null
  SessionDisplay* display = nullptr;  // may be null
  std::function<void(uint32_t width, uint32_t height)> onStreamSize;
  std::function<void()> onPipelineFailed;
};

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
  // Starts the video thread on the context; an empty thread when there is no video.
  std::function<std::thread(StreamContext& context)> video;
};

// The parts the product uses.
SessionParts DefaultSessionParts();

}  // namespace kelm
