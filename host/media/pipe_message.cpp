// Header and lock-frame checks of the helper-service pipes.
#include "media/pipe_message.h"

#include <algorithm>

namespace kelm {
namespace {

uint32_t ReadU32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

PipeHeader EncodePipeHeader(uint8_t type, size_t bodySize) {
  const uint32_t length = static_cast<uint32_t>(std::min(bodySize, kPipeMaxBody) + 1);
  return {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 24), type};
}

std::optional<PipeHeaderFields> ParsePipeHeader(std::span<const uint8_t, kPipeHeaderSize> header,
                                                size_t bodyLimit) {
  const uint32_t length = ReadU32(header.data());
  if (length == 0) return std::nullopt;
  const size_t bodySize = size_t{length} - 1;
  if (bodySize > std::min(bodyLimit, kPipeMaxBody)) return std::nullopt;
  return PipeHeaderFields{header[4], bodySize};
}

std::optional<LockFrameSize> ParseLockFrame(std::span<const uint8_t> body) {
  if (body.size() < kLockFrameHeaderSize) return std::nullopt;
  const uint32_t width = ReadU32(body.data());
  const uint32_t height = ReadU32(body.data() + 4);
  if (width == 0 || width > kLockFrameMaxSide || height == 0 || height > kLockFrameMaxSide) return std::nullopt;
  // Both sides are at most 8192, so the product fits in 64 bits with room to spare.
  if (body.size() - kLockFrameHeaderSize != uint64_t{width} * height * 4) return std::nullopt;
  return LockFrameSize{width, height};
}

}  // namespace kelm
