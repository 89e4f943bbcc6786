// Movable global memory blocks for the clipboard.
#include "desktop/global_memory.h"

#include <cstring>

namespace kelm {

GlobalMemory GlobalAllocMovable(size_t size) { return GlobalMemory(GlobalAlloc(GMEM_MOVEABLE, size)); }

GlobalMemory GlobalFromBytes(std::span<const uint8_t> bytes) {
  GlobalMemory block = GlobalAllocMovable(bytes.size());
  if (!block) return {};
  {
    GlobalLockGuard lock(block.Get());
    if (!lock.ok()) return {};
    if (!bytes.empty()) std::memcpy(lock.data(), bytes.data(), bytes.size());
  }
  return block;
}

}  // namespace kelm
