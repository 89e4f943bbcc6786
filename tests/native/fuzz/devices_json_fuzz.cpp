// "devices.json" as the host reads it: any text, whole or damaged, gives only valid
// paired-device records.
#include <cstdint>
#include <string>
#include <string_view>

#include "base64_for_tests.h"
#include "core/devices_file.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kelm::DevicesDocument doc;
  std::string error;
  const bool whole = kelm::ParseDevicesDocument(text, StandardBase64Decode, doc, error);
  FUZZ_CHECK(whole || !error.empty());
  for (const kelm::PairedDevice& d : doc.devices) {
    FUZZ_CHECK(d.key[0] == 0x04 && d.id.size() == 16);
  }
  return 0;
}
