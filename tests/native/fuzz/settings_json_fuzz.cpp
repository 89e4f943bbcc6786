// "settings.json" as the host reads it: any text gives settings within their rules.
#include <cstdint>
#include <string>
#include <string_view>

#include "base64_for_tests.h"
#include "core/settings_fields.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kelm::Settings s;
  std::string error;
  bool hadPlainPin = false;
  // Stands in for DPAPI: a protected field is plain base64 here.
  const auto unprotect = [](const std::string& t) { return StandardBase64Decode(t); };
  if (kelm::ReadSettingsText(text, unprotect, s, error, hadPlainPin) != kelm::SettingsText::Invalid) {
    FUZZ_CHECK(s.pin == 0 || (s.pin >= 100000 && s.pin <= 999999));
    FUZZ_CHECK(s.bitrateMbps >= 2 && s.bitrateMbps <= 200);
    FUZZ_CHECK(static_cast<int>(s.pairingMethod) <= 2);
    FUZZ_CHECK(s.updateChannel == "stable" || s.updateChannel == "beta");
    if (s.authenticatorSecret.empty()) FUZZ_CHECK(!s.codeEveryTime && s.pairingMethod != kelm::PairingMethod::Authenticator);
  }
  return 0;
}
