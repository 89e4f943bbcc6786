#pragma once
// SHA-256 of a file through a handle the caller holds open, so the bytes hashed are
// the bytes of the file that stays locked.
#include <windows.h>

#include <array>
#include <cstdint>

namespace kelm::update {

// From the start of the file, in reads of 1 MiB until a read returns 0 bytes; the
// digest and the number of bytes read. False on any failed call.
bool HashOpenFile(HANDLE file, std::array<uint8_t, 32>& digest, uint64_t& size);

}  // namespace kelm::update
