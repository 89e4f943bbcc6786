// Reading the device's input messages into records.
#include "desktop/input_records.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/byte_order.h"

namespace kelm::input {
namespace {

float ReadF32(const uint8_t* p) { return std::bit_cast<float>(bytes::LoadLe<uint32_t>(p)); }

// The records the count byte announces, as far as the payload holds them whole.
template <typename Record, typename ReadOne>
std::vector<Record> ReadCounted(std::span<const uint8_t> payload, size_t recordBytes, ReadOne readOne) {
  std::vector<Record> out;
  if (payload.empty()) return out;
  const size_t count = std::min<size_t>(payload[0], (payload.size() - 1) / recordBytes);
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) readOne(payload.data() + 1 + i * recordBytes, out);
  return out;
}

}  // namespace

std::vector<PenSample> ReadPenSamples(std::span<const uint8_t> payload) {
  return ReadCounted<PenSample>(payload, kPenRecordBytes, [](const uint8_t* r, std::vector<PenSample>& out) {
    out.push_back(PenSample{r[0], ReadF32(r + 4), ReadF32(r + 8), ReadF32(r + 12), ReadF32(r + 16), ReadF32(r + 20),
                            ReadF32(r + 24)});
  });
}

std::vector<TouchContact> ReadTouchContacts(std::span<const uint8_t> payload) {
  return ReadCounted<TouchContact>(payload, kTouchRecordBytes, [](const uint8_t* r, std::vector<TouchContact>& out) {
    const TouchContact c{r[0], r[1], ReadF32(r + 4), ReadF32(r + 8), ReadF32(r + 12), ReadF32(r + 16), ReadF32(r + 20)};
    if ((c.flags & kTouchCancelled) == 0 && (!std::isfinite(c.x) || !std::isfinite(c.y))) return;
    out.push_back(c);
  });
}

std::optional<KeyRecord> ReadKey(std::span<const uint8_t> payload) {
  if (payload.size() < kKeyBytes) return std::nullopt;
  const uint16_t vk = bytes::LoadLe<uint16_t>(payload.data());
  if (vk < 1 || vk > 255) return std::nullopt;
  return KeyRecord{vk, payload[2] != 0, (payload[3] & 0x01) != 0};
}

std::optional<PointerRecord> ReadPointer(std::span<const uint8_t> payload) {
  if (payload.size() < kPointerBytes) return std::nullopt;
  PointerRecord p;
  p.kind = static_cast<PointerKind>(payload[0]);
  p.button = payload[1];
  p.x = ReadF32(payload.data() + 4);
  p.y = ReadF32(payload.data() + 8);
  const float h = ReadF32(payload.data() + 12);
  const float v = ReadF32(payload.data() + 16);
  if (!std::isfinite(h) || !std::isfinite(v)) return std::nullopt;
  const float limit = p.kind == PointerKind::Wheel ? kWheelAmountMax : kPointerAmountMax;
  p.h = std::clamp(h, -limit, limit);
  p.v = std::clamp(v, -limit, limit);
  return p;
}

}  // namespace kelm::input
