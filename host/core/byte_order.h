#pragma once
// The one place bytes become numbers and back: little-endian for the session's wire
// format, the display driver, bitmaps and the reliable stream's segments; big-endian
// (network order) for STUN. Portable (no Windows header).
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelm::bytes {

template <std::unsigned_integral T>
constexpr T LoadLe(const uint8_t* p) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(p[i]) << (8 * i));
  return v;
}

template <std::unsigned_integral T>
constexpr T LoadBe(const uint8_t* p) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | p[i]);
  return v;
}

template <std::unsigned_integral T>
constexpr void StoreLe(uint8_t* p, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

template <std::unsigned_integral T>
constexpr void StoreBe(uint8_t* p, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(v >> (8 * (sizeof(T) - 1 - i)));
}

template <std::unsigned_integral T>
void AppendLe(std::vector<uint8_t>& out, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

template <std::unsigned_integral T>
void AppendBe(std::vector<uint8_t>& out, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(v >> (8 * (sizeof(T) - 1 - i))));
}

}  // namespace kelm::bytes
