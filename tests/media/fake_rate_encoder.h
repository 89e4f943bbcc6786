#pragma once
// An encoder stand-in for stream tests: frames of exactly bitrate / fps bytes, and a
// record of every bitrate it was given.
#include <cstdint>
#include <vector>

#include "media/encoded_frame.h"

namespace kelm::test {

class FakeRateEncoder {
 public:
  FakeRateEncoder(uint32_t width, uint32_t kbps, uint32_t fps) : width_(width), kbps_(kbps), fps_(fps) {}

  uint32_t Width() const { return width_; }
  void SetBitrate(uint32_t kbps) {
    kbps_ = kbps;
    calls_.push_back(kbps);
  }
  uint32_t Kbps() const { return kbps_; }
  const std::vector<uint32_t>& Calls() const { return calls_; }

  std::vector<uint8_t> SequenceHeader() const { return {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE}; }

  // One frame at the current rate: an IDR when `key`, else a plain slice.
  EncodedFrame Next(int64_t timeMicros, bool key) {
    const size_t bytes = std::max<size_t>(16, static_cast<size_t>(kbps_) * 1000 / 8 / fps_);
    EncodedFrame f;
    f.timeMicros = timeMicros;
    f.keyFrame = key;
    f.data.assign(bytes, 0xAB);  // no start code inside the filler
    f.data[0] = 0;
    f.data[1] = 0;
    f.data[2] = 0;
    f.data[3] = 1;
    f.data[4] = key ? 0x65 : 0x41;
    return f;
  }

 private:
  uint32_t width_;
  uint32_t kbps_;
  uint32_t fps_;
  std::vector<uint32_t> calls_;
};

}  // namespace kelm::test
