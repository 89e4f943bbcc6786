#pragma once
// One encoded video frame as the encoder hands it on.
#include <cstdint>
#include <vector>

namespace kelm {

struct EncodedFrame {
  std::vector<uint8_t> data;  // Annex-B byte stream
  int64_t timeMicros = 0;     // the encoder's sample time
  bool keyFrame = false;
};

}  // namespace kelm
