// Reading the settings file's text.
#include "core/settings_fields.h"

#include <algorithm>
#include <exception>

#include <nlohmann/json.hpp>

#include "core/crypto.h"
#include "core/json_numbers.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

void ReadFields(const Json& doc, const SecretUnprotector& Unprotect, Settings& s) {
  s.allowWifi = doc.value("allowWifi", s.allowWifi);
  s.fixedPin = doc.value("fixedPin", s.fixedPin);
  s.pin = JsonInteger(doc, "pin", s.pin);
  if (std::optional<std::vector<uint8_t>> pin = Unprotect(doc.value("pinProtected", std::string()))) {
    if (pin->size() == 4) {
      s.pin = uint32_t{(*pin)[0]} | uint32_t{(*pin)[1]} << 8 | uint32_t{(*pin)[2]} << 16 |
              uint32_t{(*pin)[3]} << 24;
    }
    WipeBytes(pin->data(), pin->size());
  }
  const uint8_t method = JsonInteger(doc, "pairingMethod", static_cast<uint8_t>(s.pairingMethod));
  s.pairingMethod = static_cast<PairingMethod>(method > 2 ? 2 : method);
  if (std::optional<std::vector<uint8_t>> secret = Unprotect(doc.value("authenticatorProtected", std::string()))) {
    s.authenticatorSecret = std::move(*secret);
  }
  s.codeEveryTime = doc.value("codeEveryTime", s.codeEveryTime);
  s.keepAwake = doc.value("keepAwake", s.keepAwake);
  s.forwardNotifications = doc.value("forwardNotifications", s.forwardNotifications);
  s.connectEnabled = doc.value("connectEnabled", s.connectEnabled);
  s.connectServer = doc.value("connectServer", s.connectServer);
  s.bitrateMbps = std::clamp<uint32_t>(JsonInteger(doc, "bitrateMbps", s.bitrateMbps), 2, 200);
  s.useAdb = doc.value("useAdb", s.useAdb);
  s.trayHintShown = doc.value("trayHintShown", s.trayHintShown);
  s.updateChannel = doc.value("updateChannel", s.updateChannel);
  if (s.updateChannel != "stable" && s.updateChannel != "beta") {
    s.updateChannel = "stable";
  }
  s.lastRunVersion = doc.value("lastRunVersion", s.lastRunVersion);
  s.updateNotifiedVersion = doc.value("updateNotifiedVersion", s.updateNotifiedVersion);
}

}  // namespace

SettingsText ReadSettingsText(std::string_view text, const SecretUnprotector& unprotect, Settings& s,
                              std::string& error, bool& hadPlainPin) {
  const Json doc = Json::parse(text, nullptr, false);
  if (!doc.is_object()) {
    return SettingsText::Invalid;
  }
  SettingsText result = SettingsText::Valid;
  try {
    ReadFields(doc, unprotect, s);
  } catch (const std::exception& e) {
    error = e.what();
    result = SettingsText::PartlyRead;
  }
  if (s.pin < 100000 || s.pin > 999999) {
    s.pin = 0;
  }
  if (s.authenticatorSecret.empty()) {
    if (s.pairingMethod == PairingMethod::Authenticator) {
      s.pairingMethod = PairingMethod::Pin;
    }
    s.codeEveryTime = false;
  }
  hadPlainPin = doc.contains("pin");
  return result;
}

}  // namespace kelm
