#pragma once
// A session's stream context: the stream's parameters and the way back into the
// session for the video thread.
//
// PLACEHOLDER until the video stream is built: it keeps what it was built from and
// sends nothing.
#include <utility>

#include "core/session_parts.h"

namespace kelm {

class StreamContext {
 public:
  explicit StreamContext(StreamSetup setup) : setup_(std::move(setup)) {}
  const StreamSetup& Setup() const { return setup_; }

 private:
  StreamSetup setup_;
};

}  // namespace kelm
