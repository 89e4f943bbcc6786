// Little-endian packing of the virtual display driver's request records.
#include "media/driver_protocol.h"

#include "core/byte_order.h"

namespace kelm {
namespace {

}  // namespace

std::array<uint8_t, kAddMonitorRequestSize> EncodeAddMonitorRequest(const AddMonitorRequest& r) {
  std::array<uint8_t, kAddMonitorRequestSize> out{};
  bytes::StoreLe<uint32_t>(&out[0], static_cast<uint32_t>(kAddMonitorRequestSize));
  bytes::StoreLe<uint32_t>(&out[4], r.width);
  bytes::StoreLe<uint32_t>(&out[8], r.height);
  bytes::StoreLe<uint32_t>(&out[12], r.refreshHz);
  bytes::StoreLe<uint32_t>(&out[16], r.paramA);
  bytes::StoreLe<uint32_t>(&out[20], r.paramB);
  return out;
}

std::array<uint8_t, kRemoveMonitorRequestSize> EncodeRemoveMonitorRequest(uint32_t monitorId) {
  std::array<uint8_t, kRemoveMonitorRequestSize> out{};
  bytes::StoreLe<uint32_t>(out.data(), monitorId);
  return out;
}

std::optional<DriverInfo> DecodeDriverInfo(std::span<const uint8_t> b) {
  if (b.size() < kDriverInfoSize) return std::nullopt;
  return DriverInfo{bytes::LoadLe<uint32_t>(&b[0]), bytes::LoadLe<uint32_t>(&b[4]), bytes::LoadLe<uint32_t>(&b[8])};
}

std::optional<AddMonitorResult> DecodeAddMonitorResult(std::span<const uint8_t> b) {
  if (b.size() < kAddMonitorResultSize) return std::nullopt;
  return AddMonitorResult{bytes::LoadLe<uint32_t>(&b[0]), bytes::LoadLe<uint32_t>(&b[4]), bytes::LoadLe<uint32_t>(&b[8]), static_cast<int32_t>(bytes::LoadLe<uint32_t>(&b[12]))};
}

}  // namespace kelm
