#pragma once
// The text of "settings.json" read into a Settings record (no file access and no Windows
// calls, so the same code is fuzzed natively; the secrets' decryption is passed in).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"

namespace kelm {

// Decodes and decrypts one protected field; nothing when either step fails.
using SecretUnprotector = std::function<std::optional<std::vector<uint8_t>>(const std::string&)>;

enum class SettingsText { Valid, Invalid, PartlyRead };

// Reads what it can over the defaults in `s` and applies the rules that hold for every
// loaded file (PIN range, no authenticator method without a secret). PartlyRead carries
// the reason in `error`; `hadPlainPin` says the file still held a plain "pin".
SettingsText ReadSettingsText(std::string_view text, const SecretUnprotector& unprotect, Settings& s,
                              std::string& error, bool& hadPlainPin);

}  // namespace kelm
