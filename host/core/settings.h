#pragma once
// The user's settings file and the autostart value.
#include <cstdint>
#include <string>
#include <vector>

#include "core/pairing.h"

namespace kelm {

inline constexpr char kDefaultConnectServer[] = "https://connect.tavro.app";

struct Settings {
  bool allowWifi = true;  // false: USB only
  bool fixedPin = false;  // the PIN is kept across runs only when set
  uint32_t pin = 0;       // 0: none; else 100000..999999
  PairingMethod pairingMethod = PairingMethod::Pin;
  SecretBytes authenticatorSecret;
  bool codeEveryTime = false;
  uint32_t bitrateMbps = 20;  // 2..200
  bool useAdb = true;
  bool keepAwake = true;
  bool forwardNotifications = true;
  bool connectEnabled = false;
  std::string connectServer = kDefaultConnectServer;
  bool trayHintShown = false;
  std::string updateChannel = "stable";  // "stable" or "beta"
  std::string lastRunVersion;
  std::string updateNotifiedVersion;
};

std::wstring SettingsPath();
// Never fails: a missing or bad file gives the defaults for what could not be read.
Settings LoadSettings();
// False (the previous file untouched) when the file cannot be written, or when a
// secret that should be kept cannot be protected.
bool SaveSettings(const Settings& settings);

std::wstring AutostartCommand();
bool IsAutostartEnabled();
bool SetAutostart(bool enable);

}  // namespace kelm
