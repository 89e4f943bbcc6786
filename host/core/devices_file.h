#pragma once
// The text of "devices.json" turned into paired-device records (no file access and no
// Windows calls, so the same code is fuzzed natively).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/pairing.h"

namespace kelm {

// Decodes a stored key text (base64); nothing when it is not valid.
using KeyTextDecoder = std::function<std::optional<std::vector<uint8_t>>(std::string_view)>;

struct DevicesDocument {
  std::vector<PairedDevice> devices;  // records before a bad value stay
  uint64_t lastAuthenticatorStep = 0;
};

// False with the reason in `error` when the text is not a valid document; entries
// whose key is not an uncompressed P-256 key are skipped.
bool ParseDevicesDocument(std::string_view text, const KeyTextDecoder& decode, DevicesDocument& out,
                          std::string& error);

}  // namespace kelm
