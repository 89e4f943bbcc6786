// What the display code reads back from outside: the saved-scales registry value (any
// bytes a crash or another program left there) and the display driver's answers.
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "media/display_scale.h"
#include "media/driver_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<wchar_t> chars(size / sizeof(wchar_t));
  if (!chars.empty()) std::memcpy(chars.data(), data, chars.size() * sizeof(wchar_t));
  for (const kelm::SavedScaleEntry& e : kelm::ParseSavedScales(chars)) {
    FUZZ_CHECK(e.monitorPath.size() <= chars.size());
  }
  kelm::ParseSavedPercent(std::wstring_view(chars.data(), chars.size()));
  kelm::DecodeDriverInfo({data, size});
  kelm::DecodeAddMonitorResult({data, size});
  return 0;
}
