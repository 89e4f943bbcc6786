// What a pipe peer sends: the header check never lets a body past the caller's limit, and a
// lock frame taken holds exactly its pixels.
#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz_check.h"
#include "media/pipe_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 + kelm::kPipeHeaderSize) return 0;
  // The first two bytes choose the caller's limit, from 0 to a little past the largest body.
  const size_t limit = (size_t{data[0]} << 8 | data[1]) * size_t{4097};
  const std::span<const uint8_t, kelm::kPipeHeaderSize> header(data + 2, kelm::kPipeHeaderSize);
  if (const auto fields = kelm::ParsePipeHeader(header, limit)) {
    FUZZ_CHECK(fields->bodySize <= limit && fields->bodySize <= kelm::kPipeMaxBody);
    const kelm::PipeHeader again = kelm::EncodePipeHeader(fields->type, fields->bodySize);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), header.begin()));
  }
  const std::span<const uint8_t> body(data + 2 + kelm::kPipeHeaderSize, size - 2 - kelm::kPipeHeaderSize);
  if (const auto frame = kelm::ParseLockFrame(body)) {
    FUZZ_CHECK(frame->width >= 1 && frame->width <= kelm::kLockFrameMaxSide);
    FUZZ_CHECK(frame->height >= 1 && frame->height <= kelm::kLockFrameMaxSide);
    FUZZ_CHECK(body.size() == kelm::kLockFrameHeaderSize + uint64_t{frame->width} * frame->height * 4);
  }
  return 0;
}
