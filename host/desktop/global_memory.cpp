// Movable global memory blocks for the clipboard.
#include "desktop/global_memory.h"

#include <cstring>
#include <new>

namespace kelm {

GlobalMemory GlobalAllocMovable(size_t size) { return GlobalMemory(GlobalAlloc(GMEM_MOVEABLE, size)); }

GlobalMemory GlobalFromBytes(std::span<const uint8_t> bytes) {
  GlobalMemory block = GlobalAllocMovable(bytes.size());
  if (!block) return {};
  {
    GlobalLockGuard lock(block.Get());
    if (!lock.Ok()) return {};
    if (!bytes.empty()) std::memcpy(lock.Data(), bytes.data(), bytes.size());
  }
  return block;
}

std::vector<uint8_t> BytesFromGlobal(HGLOBAL block, size_t size) {
  if (block == nullptr || size == 0 || size > GlobalSize(block)) return {};
  GlobalLockGuard lock(block);
  if (!lock.Ok()) return {};
  try {
    const auto* bytes = static_cast<const uint8_t*>(lock.Data());
    return std::vector<uint8_t>(bytes, bytes + size);
  } catch (const std::bad_alloc&) {
    return {};
  }
}

}  // namespace kelm
