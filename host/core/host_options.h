#pragma once
// The options record that starts the host service.
#include <cstdint>
#include <string>
#include <vector>

#include "core/cli_overrides.h"
#include "core/pairing.h"

namespace kelm {

struct HostOptions {
  uint16_t port = 27183;
  std::string name;  // PC name shown to devices
  PairingMethod pairingMethod = PairingMethod::Pin;
  uint32_t pin = 0;
  SecretBytes authenticatorSecret;
  bool codeEveryTime = false;
  uint32_t bitrateKbps = 20000;
  bool usbOnly = false;
  bool useAdb = true;
  std::wstring adbPath;  // empty: detect
  bool discovery = true;
  bool driver = true;
  bool keepAwake = true;
  bool forwardNotifications = true;
  bool connectEnabled = false;
  std::string connectServer;
  // A device that takes no data for this long while the host sends is dropped, so
  // it cannot hold its session (or a broadcast to every session) forever.
  uint32_t sendTimeoutMs = 10000;
};

// Lays this run's command-line overrides over options (a console run's defaults, or a
// GUI run's settings); the update site and key are not host options.
void ApplyCliOverrides(const CliOverrides& overrides, HostOptions& options);

}  // namespace kelm
