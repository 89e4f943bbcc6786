// Repair of untrusted text into valid UTF-8, its log-safe form, and cutting at
// character boundaries.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/messages.h"
#include "core/utf8.h"
#include "fuzz_check.h"
#include "utf8_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string clean = kelm::SanitizeUtf8(text);
  FUZZ_CHECK(IsValidUtf8(clean));
  FUZZ_CHECK(kelm::SanitizeUtf8(clean) == clean);  // repairing valid text changes nothing
  if (IsValidUtf8(text)) FUZZ_CHECK(clean == text);
  // The log form: one line, nothing that reorders or hides text.
  const std::string logged = kelm::SanitizeForLog(text);
  FUZZ_CHECK(IsValidUtf8(logged));
  for (const char c : logged) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  for (const char* banned : {"\u0085", "\u2028", "\u2029", "\u202e", "\u200f", "\u2066"}) {
    FUZZ_CHECK(logged.find(banned) == std::string::npos);
  }
  for (size_t limit : {size_t{0}, size_t{1}, size / 2, size_t{64}}) {
    const std::string_view cut = kelm::msg::CutAtCharacter(clean, limit);
    FUZZ_CHECK(cut.size() <= limit && IsValidUtf8(cut));
  }
  return 0;
}
