#pragma once
// The framing of the two named pipes between the host and the helper service, and the
// lock-screen frame body, as bytes: no I/O here, so both programs and the fuzzer share it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kelm {

// The type byte of a pipe message.
enum class PipeMessageType : uint8_t {
  LockScreenFrame = 1,  // lock agent to host: one raw B8G8R8A8 picture
  Input = 2,            // host to lock agent: one device input message
  UpdateRequest = 3,    // host to service
  UpdateReply = 4,      // service to host
};

// u32 little-endian length L (counts the type byte), then the u8 type.
inline constexpr size_t kPipeHeaderSize = 5;
// Lock-screen frames are at most 8192 x 8192 and carry their 8-byte size in front.
inline constexpr uint32_t kLockFrameMaxSide = 8192;
inline constexpr size_t kLockFrameHeaderSize = 8;
inline constexpr size_t kPipeMaxBody =
    kLockFrameHeaderSize + size_t{kLockFrameMaxSide} * kLockFrameMaxSide * 4;  // 0x10000008
static_assert(kPipeMaxBody == 0x10000008);
// Every overlapped read or write moves at most this much at once.
inline constexpr size_t kPipeTransferPiece = 0x400000;

using PipeHeader = std::array<uint8_t, kPipeHeaderSize>;

struct PipeHeaderFields {
  uint8_t type = 0;
  size_t bodySize = 0;
};

// The header of a message whose body is bodySize bytes (at most kPipeMaxBody).
PipeHeader EncodePipeHeader(uint8_t type, size_t bodySize);
// The header read from a pipe; nothing when its length is 0 or its body is larger than
// bodyLimit (itself capped at kPipeMaxBody), so a reader refuses before it allocates.
std::optional<PipeHeaderFields> ParsePipeHeader(std::span<const uint8_t, kPipeHeaderSize> header,
                                                size_t bodyLimit);

struct LockFrameSize {
  uint32_t width = 0;
  uint32_t height = 0;
};
// A type 1 body the host shows: u32 width, u32 height (each 1..8192), then exactly
// width x height x 4 bytes of pixels. Anything else is nothing.
std::optional<LockFrameSize> ParseLockFrame(std::span<const uint8_t> body);

}  // namespace kelm
