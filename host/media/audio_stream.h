#pragma once
// A session's PC audio stream.
//
// PLACEHOLDER until audio streaming is built: audio requests are accepted and
// nothing is captured.
#include <cstdint>

namespace kelm {

class AudioStream {
 public:
  void Apply(uint8_t /*flags*/) {}
  void Stop() {}
  bool On() const { return false; }
};

}  // namespace kelm
