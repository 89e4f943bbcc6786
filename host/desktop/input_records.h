#pragma once
// The device's pen, touch, key and pointer messages read into records, before anything
// is injected: counts bounded by the payload, places that are not numbers dropped, wheel
// and scroll amounts clamped. Portable (no Windows header), so it is fuzzed natively.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelm::input {

inline constexpr size_t kPenRecordBytes = 28;
inline constexpr size_t kTouchRecordBytes = 24;
inline constexpr size_t kKeyBytes = 4;
inline constexpr size_t kPointerBytes = 20;
// Touch record flags.
inline constexpr uint8_t kTouchCancelled = 0x01;
// The largest drag-scroll amount per message, and the largest wheel amount (in notches).
inline constexpr float kPointerAmountMax = 1.0f;
inline constexpr float kWheelAmountMax = 20.0f;

// Pointer message kinds and buttons.
enum class PointerKind : uint8_t { Move = 0, Down = 1, Up = 2, DragScroll = 3, Wheel = 4 };
enum class PointerButton : uint8_t { Left = 0, Right = 1, Middle = 2 };

struct PenSample {
  uint8_t flags = 0;
  float x = 0;
  float y = 0;
  float pressure = 0;
  float tiltX = 0;
  float tiltY = 0;
  float rotation = 0;
};
struct TouchContact {
  uint8_t id = 0;
  uint8_t flags = 0;
  float x = 0;
  float y = 0;
  float pressure = 0;
  float width = 0;
  float height = 0;
};
struct KeyRecord {
  uint16_t vk = 0;  // 1..255
  bool down = false;
  bool extended = false;
};
struct PointerRecord {
  PointerKind kind = PointerKind::Move;
  uint8_t button = 0;
  float x = 0;
  float y = 0;
  float h = 0;  // finite, clamped to the kind's limit
  float v = 0;
};

// At most the count byte's samples, as many whole records as the payload holds.
std::vector<PenSample> ReadPenSamples(std::span<const uint8_t> payload);
// The same for touch; a contact still touching without a usable place is dropped (a
// cancelled one only lifts, at the last known place).
std::vector<TouchContact> ReadTouchContacts(std::span<const uint8_t> payload);
// Nothing for a short payload or a virtual key outside 1..255.
std::optional<KeyRecord> ReadKey(std::span<const uint8_t> payload);
// Nothing for a short payload or an amount that is not a number.
std::optional<PointerRecord> ReadPointer(std::span<const uint8_t> payload);

}  // namespace kelm::input
