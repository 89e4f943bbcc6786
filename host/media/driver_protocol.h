#pragma once
// The virtual display driver's control codes and request records, as bytes on the wire.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kelm {

// Control codes: device type 0x22, read and write access, buffered transfer.
constexpr uint32_t DriverControlCode(uint32_t function) {
  constexpr uint32_t kDeviceType = 0x22;
  constexpr uint32_t kReadWriteAccess = 3;
  constexpr uint32_t kMethodBuffered = 0;
  return (kDeviceType << 16) | (kReadWriteAccess << 14) | (function << 2) | kMethodBuffered;
}
inline constexpr uint32_t kDriverQueryInfo = DriverControlCode(0x900);
inline constexpr uint32_t kDriverAddMonitor = DriverControlCode(0x901);
inline constexpr uint32_t kDriverRemoveMonitor = DriverControlCode(0x902);
inline constexpr uint32_t kDriverRemoveAllMonitors = DriverControlCode(0x903);
inline constexpr uint32_t kDriverKeepAlive = DriverControlCode(0x904);
static_assert(kDriverQueryInfo == 0x22E400 && kDriverAddMonitor == 0x22E404 && kDriverRemoveMonitor == 0x22E408 &&
              kDriverRemoveAllMonitors == 0x22E40C && kDriverKeepAlive == 0x22E410);

inline constexpr uint32_t kDriverInterfaceVersion = 1;
inline constexpr size_t kDriverInfoSize = 12;
inline constexpr size_t kAddMonitorRequestSize = 24;
inline constexpr size_t kAddMonitorResultSize = 16;
inline constexpr size_t kRemoveMonitorRequestSize = 4;

struct DriverInfo {
  uint32_t interfaceVersion = 0;
  uint32_t maxMonitors = 0;
  uint32_t reserved = 0;  // the driver's own; never read by the host
};

struct AddMonitorRequest {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t refreshHz = 0;
  uint32_t paramA = 0;  // passed through from the device unchanged
  uint32_t paramB = 0;
};

struct AddMonitorResult {
  uint32_t monitorId = 0;
  uint32_t targetId = 0;       // the display target id Windows uses for the new monitor
  uint32_t adapterLow = 0;     // adapter LUID of the driver's display adapter
  int32_t adapterHigh = 0;
};

std::array<uint8_t, kAddMonitorRequestSize> EncodeAddMonitorRequest(const AddMonitorRequest& request);
std::array<uint8_t, kRemoveMonitorRequestSize> EncodeRemoveMonitorRequest(uint32_t monitorId);
// The answers count only when they are complete.
std::optional<DriverInfo> DecodeDriverInfo(std::span<const uint8_t> bytes);
std::optional<AddMonitorResult> DecodeAddMonitorResult(std::span<const uint8_t> bytes);

}  // namespace kelm
