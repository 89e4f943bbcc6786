#pragma once
// The connection to the virtual display driver.
//
// PLACEHOLDER until the driver client is built: the driver is never found, so the
// host offers mirror mode only.
#include <cstdint>
#include <optional>

namespace kelm {

class VirtualDisplayDriver {
 public:
  struct Info {
    uint32_t interfaceVersion = 0;
    uint32_t maxMonitors = 0;
  };
  bool Open() { return false; }
  bool IsOpen() const { return false; }
  std::optional<Info> QueryInfo() { return std::nullopt; }
  bool RemoveAllMonitors() { return false; }
  void Close() {}
};

}  // namespace kelm
