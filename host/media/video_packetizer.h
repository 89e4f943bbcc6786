#pragma once
// Cuts one encoded frame into the messages that carry it to the device: the
// parameter sets (when due) and the frame's own NAL units.
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/messages.h"

namespace kelm {

class VideoPacketizer {
 public:
  using SequenceHeaderFn = std::function<std::vector<uint8_t>()>;

  // At most one CodecConfig then at most one VideoFrame, in sending order.
  // `codec` 1 is HEVC, anything else H.264. `sequenceHeader` may be empty.
  std::vector<msg::Message> Packetize(uint64_t stamp, bool key, std::span<const uint8_t> frame,
                                      proto::VideoCodec codec, const SequenceHeaderFn& sequenceHeader);

  // Forgets the parameter sets last sent; a new encoder starts from nothing.
  void Reset() { sentParameterSets_.clear(); }

  const std::vector<uint8_t>& SentParameterSets() const { return sentParameterSets_; }

 private:
  std::vector<uint8_t> sentParameterSets_;
  std::vector<uint8_t> frameBytes_;
};

}  // namespace kelm
