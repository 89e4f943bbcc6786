// The Hello parser on its own (the first record every device sends), and a re-parse of
// what a valid Hello says.
#include <cstdint>
#include <span>

#include "core/messages.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const kelm::msg::Hello h = kelm::msg::ParseHello({data, size});
  if (h.valid) {
    FUZZ_CHECK(h.deviceName.size() <= size);
    // Parsing is a pure function of the bytes.
    const kelm::msg::Hello again = kelm::msg::ParseHello({data, size});
    FUZZ_CHECK(again.valid && again.deviceName == h.deviceName && again.kbps == h.kbps && again.fps == h.fps);
  }
  return 0;
}
