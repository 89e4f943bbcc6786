#pragma once
// Finds the NAL units of an Annex-B byte stream (H.264 or HEVC).
#include <cstdint>
#include <span>
#include <vector>

#include "core/protocol.h"

namespace kelm {

struct NalUnit {
  // Reads as "up to the end of the frame"; the scan itself never produces it.
  static constexpr uint64_t kToEnd = ~uint64_t{0};

  uint64_t offset = 0;  // of the unit's start code
  uint64_t length = 0;  // from the start code to the next start code or the end
  uint8_t type = 0;
};

// The units in frame order; bytes before the first start code belong to none, and a
// start code with no header byte behind it makes no unit.
std::vector<NalUnit> ScanAnnexB(std::span<const uint8_t> frame, proto::VideoCodec codec);

// The bytes of `unit` within `frame` (start code included), clipped to the frame.
std::span<const uint8_t> UnitBytes(std::span<const uint8_t> frame, const NalUnit& unit);

}  // namespace kelm
