#pragma once
// The lock agent's side of its pipe: a captured picture as a frame message with a bounded
// write (a host that stops reading is dropped instead of holding up the agent), and the
// host's input messages read with a small limit.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace kelm::service {

// The largest input message body the agent reads from the host; device input is far
// smaller, and a larger header ends the read before anything is allocated.
inline constexpr size_t kLockAgentInputLimit = 65536;

// A frame write that has not finished after this long gives the host up.
inline constexpr uint32_t kLockFrameWriteLimitMs = 2000;

// u32 width, u32 height (little-endian), then the rows top-down without padding, each
// read `pitch` bytes after the one before.
void BuildLockFrameBody(uint32_t width, uint32_t height, const uint8_t* rows, size_t pitch,
                        std::vector<uint8_t>& body);

// The same frame message written from unpadded rows in place (4 x width bytes each), so a
// picture already in memory is not copied into a body first.
bool WriteLockScreenRows(HANDLE pipe, uint32_t width, uint32_t height, const uint8_t* rows, std::mutex& writeMutex,
                         HANDLE stopEvent, uint32_t limitMs = kLockFrameWriteLimitMs);

// Writes the body as one frame message under the write mutex; false when the write
// failed, was stopped or took longer than the limit (the host is then dropped).
bool WriteLockScreenFrame(HANDLE pipe, std::span<const uint8_t> body, std::mutex& writeMutex, HANDLE stopEvent,
                          uint32_t limitMs = kLockFrameWriteLimitMs);

// One message from the host (ReadPipeMessage with kLockAgentInputLimit); false on a
// closed pipe, a larger body or a stop.
bool ReadLockAgentMessage(HANDLE pipe, uint8_t& type, std::vector<uint8_t>& body, HANDLE stopEvent);

}  // namespace kelm::service
