#pragma once
// FNV-1a 64 written from its definition for the tests, over UTF-16 little-endian bytes.
#include <cstdint>
#include <string>
#include <vector>

namespace kelm::test {

inline uint64_t ReferenceFnv1a(const std::u16string& text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  uint64_t h = 14695981039346656037ULL;
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ULL;
  return h;
}

}  // namespace kelm::test
