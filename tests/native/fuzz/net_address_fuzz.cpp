// Address texts: IPv4 and IPv6 parsing, private/LAN classification, and percent encoding.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/net_address.h"
#include "core/percent_encode.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (const auto v4 = kelm::ParseIPv4(text)) {
    // A parsed address prints back to an address that parses to the same value.
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", *v4 >> 24, *v4 >> 16 & 255, *v4 >> 8 & 255, *v4 & 255);
    FUZZ_CHECK(kelm::ParseIPv4(dotted) == v4);
    kelm::IsLanIPv4(*v4);
  }
  if (const auto v6 = kelm::ParseIPv6(text)) kelm::IsLoopbackIPv6(*v6);
  kelm::IsPrivateAddress(text);
  const std::string encoded = kelm::PercentEncode(text);
  FUZZ_CHECK(encoded.size() >= size && encoded.size() <= 3 * size);
  return 0;
}
