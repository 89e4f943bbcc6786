// HOTP codes (RFC 4226): the dynamic truncation of an HMAC-SHA1 over the counter.
#include <array>

#include "core/crypto.h"
#include "core/otp.h"

namespace kelm {

std::string HotpCode(std::span<const uint8_t> secret, uint64_t counter, int digits) {
  if (digits < 1 || digits > 10) {
    return {};
  }
  std::array<uint8_t, 8> message{};
  for (int i = 7; i >= 0; --i) {
    message[static_cast<size_t>(i)] = static_cast<uint8_t>(counter);
    counter >>= 8;
  }
  std::array<uint8_t, 20> mac{};
  if (!HmacSha1(secret, message, mac)) {
    return {};
  }
  const int offset = mac[19] & 0x0F;
  const uint32_t value = (static_cast<uint32_t>(mac[offset] & 0x7F) << 24) |
                         (static_cast<uint32_t>(mac[offset + 1]) << 16) |
                         (static_cast<uint32_t>(mac[offset + 2]) << 8) | mac[offset + 3];
  uint64_t modulus = 1;
  for (int i = 0; i < digits; ++i) {
    modulus *= 10;
  }
  std::string code = std::to_string(value % modulus);
  code.insert(0, static_cast<size_t>(digits) - code.size(), '0');
  return code;
}

}  // namespace kelm
