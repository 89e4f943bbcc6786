// The peer's ICE description and the relay's server URLs: texts from outside, parsed
// without name lookups.
#include <cstdint>
#include <string_view>

#include "connect/ice_description.h"
#include "connect/ice_server_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  namespace c = tavro::connect;
  c::ParseIceDescription(text);
  c::ParseCandidate(text);
  c::StripRelayCandidates(text);
  c::ParseIceServerUrl(text);
  c::ParseTurnServer(text, "user", "pass");
  return 0;
}
