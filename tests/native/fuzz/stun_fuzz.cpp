// STUN and TURN messages as they arrive from any address: parsing, the integrity and
// fingerprint checks never read outside the datagram.
#include <cstdint>
#include <span>

#include "connect/stun_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  namespace c = tavro::connect;
  c::LooksLikeStun(bytes);
  if (const auto message = c::ParseStun(bytes)) {
    c::StunFingerprintValid(bytes, *message);
    const uint8_t key[] = {'p', 'a', 's', 's'};
    c::StunIntegrityValid(bytes, *message, key);
  }
  return 0;
}
