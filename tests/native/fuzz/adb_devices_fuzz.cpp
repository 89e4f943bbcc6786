// The adb device listing: whatever adb prints, the parser yields only well-formed lines.
#include <cstdint>
#include <string_view>

#include "core/adb_devices.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const kelm::AdbDeviceLine& line : kelm::ParseAdbDevices(text)) {
    FUZZ_CHECK(line.serial.size() + line.state.size() <= size);
    FUZZ_CHECK(line.serial.find('\n') == std::string::npos && line.state.find('\n') == std::string::npos);
  }
  kelm::IsValidAdbSerial(text);
  return 0;
}
