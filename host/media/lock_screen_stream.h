#pragma once
// The stream the video thread runs while the PC is locked: the lock agent's frames from
// the lock-screen pipe, encoded on a Direct3D device and encoder of its own, with the
// device's input going back to the agent.
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

#include "media/lock_screen_client.h"
#include "media/video_pipeline_io.h"

namespace kelm {

class StreamContext;

// What the lock-screen stream runs on; empty members take the product's choice.
struct LockScreenStreamParts {
  lockscreen::LockScreenClient::Options client;  // pipe name and trust check
  std::function<std::unique_ptr<PipelineEncoder>()> makeEncoder;
};

// Runs until the PC is unlocked or `stop` is requested. A failure to show the lock screen
// while the PC stays locked is retried after 1 s, then 2, 4, ... up to 30 s.
void StreamLockScreen(StreamContext& context, std::stop_token stop);
void StreamLockScreen(StreamContext& context, const LockScreenStreamParts& parts, std::stop_token stop);

// The video thread's lock hooks: IsSessionLocked(OwnSessionId()) and the stream above.
PipelineLockScreen LockScreenHooks(StreamContext& context, LockScreenStreamParts parts = {});

}  // namespace kelm
