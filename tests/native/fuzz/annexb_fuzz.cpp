// Encoded frames (the encoder's output, read by offsets): the Annex-B scan and the
// packetiser stay inside the frame for any bytes, in H.264 and HEVC.
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "media/annexb.h"
#include "media/video_packetizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto codec = static_cast<kelm::proto::VideoCodec>(data[0] & 1);
  const bool key = (data[0] & 2) != 0;
  const std::span<const uint8_t> frame(data + 1, size - 1);
  for (const kelm::NalUnit& unit : kelm::ScanAnnexB(frame, codec)) {
    const std::span<const uint8_t> bytes = kelm::UnitBytes(frame, unit);
    FUZZ_CHECK(bytes.empty() || (bytes.data() >= frame.data() && bytes.data() + bytes.size() <= frame.data() + frame.size()));
  }
  kelm::VideoPacketizer packetizer;
  const auto header = [&] { return std::vector<uint8_t>(frame.begin(), frame.begin() + frame.size() / 2); };
  for (int round = 0; round < 2; ++round) {
    for (const auto& m : packetizer.Packetize(7, key, frame, codec, header)) {
      FUZZ_CHECK(m.payload.size() <= frame.size() + 64);
    }
  }
  return 0;
}
