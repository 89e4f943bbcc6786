// The handshake frames a device sends before it is authenticated: the frame header,
// ClientHello and ClientFinish.
#include <cstdint>
#include <span>

#include "core/handshake_frames.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 4) {
    if (const auto length = kelm::frame::FrameLength(std::span<const uint8_t, 4>(data, 4))) {
      FUZZ_CHECK(*length >= 1 && *length <= kelm::frame::kMaxFrame);
    }
  }
  kelm::frame::ClientHello hello;
  if (kelm::frame::ParseClientHello({data, size}, hello)) FUZZ_CHECK(size >= 99);
  kelm::frame::ClientFinish finish;
  if (kelm::frame::ParseClientFinish({data, size}, finish)) {
    FUZZ_CHECK(finish.name.size() <= kelm::frame::kMaxHandshakeName);
    FUZZ_CHECK(size == 65 + 2 + finish.name.size() + 64 + 32);
  }
  return 0;
}
