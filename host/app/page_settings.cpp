// The page's setting keys and what each one changes.
#include "app/page_settings.h"

#include "app/page_state.h"

namespace kelm {

using nlohmann::json;

PageSettingEffects ApplyPageSetting(Settings& settings, std::string_view key, const json& value, uint32_t currentPin) {
  PageSettingEffects e;
  // Every value is read before anything changes, so a type error changes nothing.
  auto flag = [&] { return value.get<bool>(); };
  auto saved = [&] {
    e.handled = true;
    e.save = true;
    e.push = true;
  };
  if (key == "startWithWindows") {
    e.autostart = flag();
    e.handled = true;
    e.push = true;
  } else if (key == "allowWifi" || key == "useAdb") {
    (key == "allowWifi" ? settings.allowWifi : settings.useAdb) = flag();
    saved();
    e.restartHost = true;
  } else if (key == "keepAwake") {
    settings.keepAwake = flag();
    saved();
    e.keepAwake = true;
  } else if (key == "forwardNotifications") {
    settings.forwardNotifications = flag();
    saved();
    e.forwardNotifications = true;
    e.requestNotificationAccess = settings.forwardNotifications;
  } else if (key == "pairingMethod") {
    const PairingMethod method = ParsePairingMethod(value.get<std::string>());
    if (method == PairingMethod::Authenticator && settings.authenticatorSecret.empty()) return e;
    settings.pairingMethod = method;
    saved();
    e.pairingPolicy = true;
  } else if (key == "codeEveryTime") {
    settings.codeEveryTime = flag() && !settings.authenticatorSecret.empty();
    saved();
    e.pairingPolicy = true;
  } else if (key == "fixedPin") {
    settings.fixedPin = flag();
    settings.pin = settings.fixedPin ? currentPin : 0;
    saved();
  } else if (key == "connectEnabled") {
    settings.connectEnabled = flag();
    saved();
    e.connect = true;
    e.info = settings.connectEnabled ? "tavro Connect turned on" : "tavro Connect turned off";
  } else if (key == "connectServer") {
    const std::string server = value.get<std::string>();
    e.handled = true;
    e.push = true;  // an invalid address only gets the stored one back
    if (IsValidServerUrl(server)) {
      settings.connectServer = server;
      e.save = true;
      e.connect = true;
    }
  } else if (key == "bitrateMbps") {
    settings.bitrateMbps = BitrateFromJson(value);
    saved();
    e.bitrate = true;
  }
  return e;
}

}  // namespace kelm
