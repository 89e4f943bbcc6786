// Splits an Annex-B frame into parameter sets and frame units.
#include "media/video_packetizer.h"

#include <algorithm>

#include "media/annexb.h"

namespace kelm {
namespace {

enum class UnitRole { ParameterSet, Delimiter, Slice };

constexpr uint8_t kH264Idr = 5, kH264Sps = 7, kH264Pps = 8, kH264Aud = 9;
constexpr uint8_t kHevcFirstIrap = 16, kHevcLastIrap = 21;
constexpr uint8_t kHevcVps = 32, kHevcSps = 33, kHevcPps = 34, kHevcAud = 35;

UnitRole RoleOf(uint8_t type, bool hevc) {
  if (hevc) {
    if (type == kHevcVps || type == kHevcSps || type == kHevcPps) return UnitRole::ParameterSet;
    if (type == kHevcAud) return UnitRole::Delimiter;
  } else {
    if (type == kH264Sps || type == kH264Pps) return UnitRole::ParameterSet;
    if (type == kH264Aud) return UnitRole::Delimiter;
  }
  return UnitRole::Slice;
}

bool IsKeyPicture(uint8_t type, bool hevc) {
  return hevc ? (type >= kHevcFirstIrap && type <= kHevcLastIrap) : type == kH264Idr;
}

void Append(std::vector<uint8_t>& out, std::span<const uint8_t> bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

}  // namespace

std::vector<msg::Message> VideoPacketizer::Packetize(uint64_t stamp, bool key,
                                                     std::span<const uint8_t> frame, proto::VideoCodec codec,
                                                     const SequenceHeaderFn& sequenceHeader) {
  const bool hevc = codec == proto::VideoCodec::Hevc;
  std::vector<uint8_t> parameterSets;
  // One working buffer for every frame, so large frames cost no fresh allocation.
  std::vector<uint8_t>& frameBytes = frameBytes_;
  frameBytes.clear();
  frameBytes.reserve(frame.size());
  for (const NalUnit& unit : ScanAnnexB(frame, codec)) {
    const auto bytes = UnitBytes(frame, unit);
    switch (RoleOf(unit.type, hevc)) {
      case UnitRole::ParameterSet:
        Append(parameterSets, bytes);
        break;
      case UnitRole::Delimiter:
        break;
      case UnitRole::Slice:
        Append(frameBytes, bytes);
        key = key || IsKeyPicture(unit.type, hevc);
        break;
    }
  }

  std::vector<msg::Message> out;
  if (key && parameterSets.empty()) {
    if (!sentParameterSets_.empty()) {
      parameterSets = sentParameterSets_;
    } else if (sequenceHeader) {
      parameterSets = sequenceHeader();
    }
  }
  if (!parameterSets.empty() && (key || parameterSets != sentParameterSets_)) {
    out.push_back(msg::MakeCodecConfig(parameterSets));
    sentParameterSets_ = std::move(parameterSets);
  }
  if (!frameBytes.empty()) {
    out.push_back(msg::MakeVideoFrame(stamp, key ? 1 : 0, frameBytes));
  }
  return out;
}

}  // namespace kelm
