#pragma once
// Current-user DPAPI protection of small secrets.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelm {

std::optional<std::vector<uint8_t>> DpapiProtect(std::span<const uint8_t> plain);
std::optional<std::vector<uint8_t>> DpapiUnprotect(std::span<const uint8_t> protectedBytes);

}  // namespace kelm
