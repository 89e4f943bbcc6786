#pragma once
// Current-user DPAPI protection of small secrets.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelm {

std::optional<std::vector<uint8_t>> DpapiProtect(std::span<const uint8_t> plain);
std::optional<std::vector<uint8_t>> DpapiUnprotect(std::span<const uint8_t> protectedBytes);

// While one exists, DpapiProtect fails as it does when the user's key store cannot be
// used, so tests can check what callers then do with their secrets.
class DpapiRefusal {
 public:
  DpapiRefusal();
  ~DpapiRefusal();
  DpapiRefusal(const DpapiRefusal&) = delete;
  DpapiRefusal& operator=(const DpapiRefusal&) = delete;
};

}  // namespace kelm
