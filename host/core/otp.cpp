#include "core/otp.h"

#include <windows.h>
#include <bcrypt.h>

#include "core/cng_handles.h"

namespace kelm {

std::string HotpCode(std::span<const uint8_t> secret, uint64_t counter, int digits) {
  if (digits < 1 || digits > 10) {
    return {};
  }
  uint8_t message[8];
  for (int i = 7; i >= 0; --i) {
    message[i] = static_cast<uint8_t>(counter);
    counter >>= 8;
  }
  uint8_t mac[20];
  if (BCryptHash(cng::HmacSha1Alg(), const_cast<PUCHAR>(secret.data()), static_cast<ULONG>(secret.size()), message,
                 sizeof message, mac, sizeof mac) < 0) {
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

uint64_t TotpTimeStep() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  const uint64_t fileTime = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  const uint64_t unixSeconds = fileTime / 10000000 - 11644473600ULL;
  return unixSeconds / 30;
}

}  // namespace kelm
