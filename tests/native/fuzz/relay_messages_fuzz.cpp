// The relay's signalling texts (they come from a server on the internet), and base64url
// decoding: the parser never throws, and decoding round-trips through the encoder.
#include <cstdint>
#include <string_view>

#include "connect/base64url.h"
#include "connect/relay_messages.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kelm::ParseRelayMessage(text);
  kelm::IsPhoneId(text);
  if (const auto bytes = kelm::Base64UrlDecode(text)) {
    FUZZ_CHECK(kelm::Base64UrlDecode(kelm::Base64UrlEncode(*bytes)) == bytes);
  }
  const std::span<const uint8_t> raw(data, size);
  FUZZ_CHECK(kelm::Base64UrlDecode(kelm::Base64UrlEncode(raw)) == std::vector<uint8_t>(data, data + size));
  return 0;
}
