// Little-endian packing of the virtual display driver's request records.
#include "media/driver_protocol.h"

namespace kelm {
namespace {

void PutU32(uint8_t* at, uint32_t v) {
  at[0] = static_cast<uint8_t>(v);
  at[1] = static_cast<uint8_t>(v >> 8);
  at[2] = static_cast<uint8_t>(v >> 16);
  at[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetU32(const uint8_t* at) {
  return uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16 | uint32_t{at[3]} << 24;
}

}  // namespace

std::array<uint8_t, kAddMonitorRequestSize> EncodeAddMonitorRequest(const AddMonitorRequest& r) {
  std::array<uint8_t, kAddMonitorRequestSize> out{};
  PutU32(&out[0], static_cast<uint32_t>(kAddMonitorRequestSize));
  PutU32(&out[4], r.width);
  PutU32(&out[8], r.height);
  PutU32(&out[12], r.refreshHz);
  PutU32(&out[16], r.paramA);
  PutU32(&out[20], r.paramB);
  return out;
}

std::array<uint8_t, kRemoveMonitorRequestSize> EncodeRemoveMonitorRequest(uint32_t monitorId) {
  std::array<uint8_t, kRemoveMonitorRequestSize> out{};
  PutU32(out.data(), monitorId);
  return out;
}

std::optional<DriverInfo> DecodeDriverInfo(std::span<const uint8_t> b) {
  if (b.size() < kDriverInfoSize) return std::nullopt;
  return DriverInfo{GetU32(&b[0]), GetU32(&b[4]), GetU32(&b[8])};
}

std::optional<AddMonitorResult> DecodeAddMonitorResult(std::span<const uint8_t> b) {
  if (b.size() < kAddMonitorResultSize) return std::nullopt;
  return AddMonitorResult{GetU32(&b[0]), GetU32(&b[4]), GetU32(&b[8]), static_cast<int32_t>(GetU32(&b[12]))};
}

}  // namespace kelm
