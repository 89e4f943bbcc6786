// The device's pen, touch, key and pointer payloads as a peer may send them: the records
// read stay within the payload and keep the promises the injector relies on.
#include <cmath>
#include <cstdint>
#include <span>

#include "desktop/input_records.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace in = kelm::input;
  const std::span<const uint8_t> payload(data, size);
  const size_t announced = size == 0 ? 0 : data[0];
  const auto pens = in::ReadPenSamples(payload);
  FUZZ_CHECK(pens.size() <= announced && (size == 0 || pens.size() <= (size - 1) / in::kPenRecordBytes));
  const auto touches = in::ReadTouchContacts(payload);
  FUZZ_CHECK(touches.size() <= announced && (size == 0 || touches.size() <= (size - 1) / in::kTouchRecordBytes));
  for (const in::TouchContact& c : touches) {
    FUZZ_CHECK((c.flags & in::kTouchCancelled) != 0 || (std::isfinite(c.x) && std::isfinite(c.y)));
  }
  if (const auto key = in::ReadKey(payload)) {
    FUZZ_CHECK(size >= in::kKeyBytes && key->vk >= 1 && key->vk <= 255);
  }
  if (const auto p = in::ReadPointer(payload)) {
    const float limit = p->kind == in::PointerKind::Wheel ? in::kWheelAmountMax : in::kPointerAmountMax;
    FUZZ_CHECK(size >= in::kPointerBytes && std::isfinite(p->h) && std::isfinite(p->v));
    FUZZ_CHECK(std::fabs(p->h) <= limit && std::fabs(p->v) <= limit);
  }
  return 0;
}
