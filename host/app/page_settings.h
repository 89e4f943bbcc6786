#pragma once
// What a "setSetting" message from the page changes in the settings record, and which
// effects the application then carries out (save, host restart, policy update, push).
// No Windows here: the App runs the effects.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/settings.h"

namespace kelm {

struct PageSettingEffects {
  bool handled = false;      // false: an unknown key, or a change refused without a trace
  bool save = false;         // write the settings file
  bool push = false;         // answer with a "settings" message
  bool restartHost = false;  // "allowWifi", "useAdb"
  bool pairingPolicy = false;
  bool keepAwake = false;
  bool forwardNotifications = false;
  bool requestNotificationAccess = false;  // forwarding was turned on
  bool connect = false;                    // hand the relay switch and server to the host
  bool bitrate = false;
  std::optional<bool> autostart;  // "startWithWindows": write or delete the Run value
  std::string info;               // an INFO line to log, when not empty
};

// Applies `key` = `value` to `settings`. `currentPin` is the PIN the host runs with
// ("fixedPin" stores it). A value of the wrong JSON type throws the JSON library's type
// error and leaves `settings` as it was.
PageSettingEffects ApplyPageSetting(Settings& settings, std::string_view key, const nlohmann::json& value,
                                    uint32_t currentPin);

}  // namespace kelm
