// Settings and command-line overrides to host options.
#include "app/host_options_builder.h"

namespace kelm {

HostOptions BuildHostOptions(const Settings& settings, uint32_t pin, const CliOverrides& o, const std::string& pcName) {
  HostOptions options;
  options.port = 27183;
  options.name = pcName;
  options.pairingMethod = settings.pairingMethod;
  options.pin = pin;
  options.authenticatorSecret = settings.authenticatorSecret;
  options.codeEveryTime = settings.codeEveryTime;
  options.bitrateKbps = settings.bitrateMbps * 1000;
  options.usbOnly = !settings.allowWifi;
  options.useAdb = settings.useAdb;
  options.adbPath.clear();
  options.discovery = true;
  options.driver = true;
  options.keepAwake = settings.keepAwake;
  options.forwardNotifications = settings.forwardNotifications;
  options.connectEnabled = settings.connectEnabled;
  options.connectServer = settings.connectServer;
  ApplyCliOverrides(o, options);
  return options;
}

}  // namespace kelm
