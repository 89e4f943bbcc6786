// File-transfer payloads and the names devices give their files: the parsers read only
// what is there, and every name becomes one harmless file name.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "desktop/transfer_names.h"
#include "desktop/transfer_payloads.h"
#include "fuzz_check.h"
#include "utf8_check.h"

namespace {

// UTF-16 units of a valid UTF-8 text.
size_t Utf16Units(std::string_view s) {
  size_t units = 0;
  for (const char c : s) {
    const auto b = static_cast<uint8_t>(c);
    if ((b & 0xC0) != 0x80) units += b >= 0xF0 ? 2 : 1;
  }
  return units;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> payload(data, size);
  if (const auto begin = kelm::transfer::ParseBegin(payload)) FUZZ_CHECK(begin->name.size() <= size);
  kelm::transfer::ParseEnd(payload);
  kelm::transfer::ParseAck(payload);

  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const std::string safe = kelm::SafeFileName(name);
  FUZZ_CHECK(!safe.empty() && IsValidUtf8(safe));
  FUZZ_CHECK(Utf16Units(safe) <= 180);
  FUZZ_CHECK(safe.find_first_of("\\/:*?\"<>|") == std::string::npos);
  for (const char c : safe) FUZZ_CHECK(static_cast<uint8_t>(c) >= 0x20);
  FUZZ_CHECK(safe.back() != '.' && safe.back() != ' ');
  FUZZ_CHECK(safe != "." && safe != "..");
  FUZZ_CHECK(kelm::SafeFileName(safe) == safe);  // a safe name stays as it is
  return 0;
}
