// Hex decoding and the base32 encoder: decoding accepts exactly what encoding can make
// (in either case), and lengths follow from the input.
#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/encoding.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto bytes = kelm::HexDecode(text)) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    FUZZ_CHECK(kelm::HexEncode(*bytes) == lower);
  }
  const std::span<const uint8_t> raw(data, size);
  FUZZ_CHECK(kelm::HexDecode(kelm::HexEncode(raw)) == std::vector<uint8_t>(data, data + size));
  const std::string b32 = kelm::Base32Encode(raw);
  FUZZ_CHECK(b32.size() == (size * 8 + 4) / 5);
  FUZZ_CHECK(b32.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567") == std::string::npos);
  return 0;
}
