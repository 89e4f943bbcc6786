// The command line's overrides of the host options for one run.
#include "core/host_options.h"

namespace kelm {

void ApplyCliOverrides(const CliOverrides& o, HostOptions& options) {
  if (o.port) options.port = *o.port;
  if (o.pin) options.pin = *o.pin;
  if (o.bitrateKbps) options.bitrateKbps = *o.bitrateKbps;
  if (o.usbOnly) options.usbOnly = true;
  if (o.noAdb) options.useAdb = false;
  if (o.noDiscovery) options.discovery = false;
  if (o.noDriver) options.driver = false;
  if (!o.adbPath.empty()) options.adbPath = o.adbPath;
  if (!o.connectServer.empty()) {
    options.connectEnabled = true;
    options.connectServer = o.connectServer;
  }
}

}  // namespace kelm
