#pragma once
// Builds the device's input payloads byte by byte, as the device app writes them.
#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kelm::test {

struct PenRecord {
  uint8_t flags = 0;
  float x = 0, y = 0, pressure = 0, tiltX = 0, tiltY = 0, rotation = 0;
};
struct TouchRecord {
  uint8_t id = 0;
  uint8_t flags = 0;
  float x = 0, y = 0, pressure = 0.5f, width = 0.01f, height = 0.01f;
};

inline void PutF32(std::vector<uint8_t>& out, float v) {
  const auto bits = std::bit_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
  }
}

inline std::vector<uint8_t> PenPayload(const std::vector<PenRecord>& records) {
  std::vector<uint8_t> out{static_cast<uint8_t>(records.size())};
  for (const PenRecord& r : records) {
    out.insert(out.end(), {r.flags, 0xAA, 0xBB, 0xCC});
    for (float f : {r.x, r.y, r.pressure, r.tiltX, r.tiltY, r.rotation}) {
      PutF32(out, f);
    }
  }
  return out;
}

inline std::vector<uint8_t> TouchPayload(const std::vector<TouchRecord>& records) {
  std::vector<uint8_t> out{static_cast<uint8_t>(records.size())};
  for (const TouchRecord& r : records) {
    out.insert(out.end(), {r.id, r.flags, 0, 0});
    for (float f : {r.x, r.y, r.pressure, r.width, r.height}) {
      PutF32(out, f);
    }
  }
  return out;
}

inline std::vector<uint8_t> KeyPayload(uint16_t vk, bool down, bool extended) {
  return {static_cast<uint8_t>(vk), static_cast<uint8_t>(vk >> 8), static_cast<uint8_t>(down ? 1 : 0),
          static_cast<uint8_t>(extended ? 1 : 0)};
}

inline std::vector<uint8_t> PointerPayload(uint8_t kind, uint8_t button, float x, float y, float h = 0,
                                           float v = 0) {
  std::vector<uint8_t> out{kind, button, 0, 0};
  for (float f : {x, y, h, v}) {
    PutF32(out, f);
  }
  return out;
}

inline std::vector<uint8_t> TextPayload(std::string_view utf8) {
  return std::vector<uint8_t>(utf8.begin(), utf8.end());
}

}  // namespace kelm::test
