// Every parser of the session message codec, chosen by the first byte, plus the payload
// reader driven by the input itself.
#include <cstdint>
#include <span>
#include <string>

#include "core/messages.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::span<const uint8_t> payload(data + 1, size - 1);
  switch (data[0] % 10) {
    case 0: {
      const kelm::msg::Hello h = kelm::msg::ParseHello(payload);
      if (h.valid) FUZZ_CHECK(h.deviceName.size() <= payload.size());
      break;
    }
    case 1: kelm::msg::ParseLimits(payload); break;
    case 2: FUZZ_CHECK(kelm::msg::ParseU64(payload).has_value() == (payload.size() >= 8)); break;
    case 3: FUZZ_CHECK(kelm::msg::ParseU8(payload).has_value() == !payload.empty()); break;
    case 4: kelm::msg::ParseDisplayOptions(payload); break;
    case 5: {
      const auto c = kelm::msg::ParseClipboard(payload);
      if (c) FUZZ_CHECK(c->data.size() <= kelm::msg::kMaxClipboardBytes && c->data.size() < payload.size());
      break;
    }
    case 6: kelm::msg::ParseStreamSize(payload); break;
    case 7: kelm::msg::ParseU32(payload); break;
    case 8: {
      // The reader: each input byte picks the next read.
      kelm::msg::Reader r(payload);
      for (size_t i = 0; i < payload.size() && i < 64; ++i) {
        const size_t before = r.Position();
        switch (payload[i] % 5) {
          case 0: r.ReadU8(); break;
          case 1: r.ReadU16(); break;
          case 2: r.ReadU32(); break;
          case 3: r.ReadU64(); break;
          case 4: FUZZ_CHECK(r.ReadString().size() <= payload.size()); break;
        }
        FUZZ_CHECK(r.Position() >= before && r.Position() <= payload.size());
      }
      break;
    }
    case 9: {
      const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
      const size_t limit = size % 97;
      const std::string_view cut = kelm::msg::CutAtCharacter(text, limit);
      FUZZ_CHECK(cut.size() <= limit && cut.data() == text.data());
      break;
    }
  }
  return 0;
}
