#pragma once
// Reads the length-prefixed texts of a ConnectInfo payload, as a device does.
#include <cstddef>
#include <string>

#include "support/device_client.h"

namespace kelm::test {

// A u16 little-endian length and that many bytes at `at`, which moves past them; "(short)"
// when the payload ends first.
inline std::string ReadString16(const Bytes& b, size_t& at) {
  if (at + 2 > b.size()) return "(short)";
  const size_t n = b[at] | (b[at + 1] << 8);
  at += 2;
  if (at + n > b.size()) return "(short)";
  std::string s(b.begin() + static_cast<ptrdiff_t>(at), b.begin() + static_cast<ptrdiff_t>(at + n));
  at += n;
  return s;
}

}  // namespace kelm::test
