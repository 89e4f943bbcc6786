#pragma once
// Reading adb's device listing: one line per device, serial and state separated by a tab.
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

struct AdbDeviceLine {
  std::string serial;  // before the first tab
  std::string state;   // everything after it
};

// Lines in adb's order. Lines are split at LF with one trailing CR removed; empty lines
// and lines without a tab (adb's heading) are skipped.
std::vector<AdbDeviceLine> ParseAdbDevices(std::string_view output);

// 1 to 128 bytes of ASCII letters, digits and "._:-". Only such a serial is ever put on
// an adb command line, so nothing the device reports can add arguments of its own.
bool IsValidAdbSerial(std::string_view serial);

}  // namespace kelm
