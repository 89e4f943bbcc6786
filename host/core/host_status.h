#pragma once
// The host's state as the window and the tray show it: options, addresses, sessions and
// the relay client's state, copied out of the host service under its lock. It belongs to
// the composing layer (tavro_host) beside the host service, since it holds the relay
// client's status.
#include <cstdint>
#include <string>
#include <vector>

#include "connect/connect_client.h"
#include "core/host_options.h"
#include "core/local_addresses.h"

namespace kelm {

struct HostSessionStatus {
  uint64_t id = 0;
  std::string peer;
  std::string deviceName;
  std::string deviceId;
  bool usb = false;
  bool relay = false;
  bool mirror = false;
  bool audio = false;
  std::string transferText;
  uint32_t width = 0, height = 0, fps = 0;
};

struct HostStatus {
  bool running = false;
  std::string lastError;
  bool driverConnected = false;
  bool usbActive = false;
  bool discoveryActive = false;
  HostOptions options;
  std::vector<LocalAddress> addresses;
  std::vector<HostSessionStatus> sessions;
  ConnectClient::Status connect;
};

}  // namespace kelm
