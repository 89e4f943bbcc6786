#include "core/adb_devices.h"

namespace kelm {

std::vector<AdbDeviceLine> ParseAdbDevices(std::string_view output) {
  std::vector<AdbDeviceLine> lines;
  while (!output.empty()) {
    const size_t lf = output.find('\n');
    std::string_view line = output.substr(0, lf);
    output = lf == std::string_view::npos ? std::string_view{} : output.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    const size_t tab = line.find('\t');
    if (line.empty() || tab == std::string_view::npos) {
      continue;
    }
    lines.push_back({std::string(line.substr(0, tab)), std::string(line.substr(tab + 1))});
  }
  return lines;
}

bool IsValidAdbSerial(std::string_view serial) {
  if (serial.empty() || serial.size() > 128) {
    return false;
  }
  for (const char c : serial) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == ':' || c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}

}  // namespace kelm
