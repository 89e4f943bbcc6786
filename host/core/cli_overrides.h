#pragma once
// The command-line overrides of the settings for one run.
#include <cstdint>
#include <optional>
#include <string>

namespace kelm {

struct CliOverrides {
  std::optional<uint16_t> port;
  std::optional<uint32_t> pin;
  std::optional<uint32_t> bitrateKbps;
  bool usbOnly = false;
  bool noAdb = false;
  bool noDiscovery = false;
  bool noDriver = false;
  std::wstring adbPath;       // empty: detect adb
  std::string connectServer;  // empty: no relay
  std::string updateUrl;      // test update site (needs --profile)
  std::string updateKey;      // its public key (needs --profile)
};

}  // namespace kelm
