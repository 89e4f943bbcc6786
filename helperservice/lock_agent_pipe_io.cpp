// Lock-screen frame bodies with their bounded write, and the input read.
#include "lock_agent_pipe_io.h"

#include <cstring>

#include "media/pipe_framing.h"

namespace kelm::service {
namespace {

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutFrameSize(uint8_t* at, uint32_t width, uint32_t height) {
  PutU32(at, width);
  PutU32(at + 4, height);
}

bool WriteFrameMessage(HANDLE pipe, std::span<const uint8_t> part1, std::span<const uint8_t> part2,
                       std::mutex& writeMutex, HANDLE stopEvent, uint32_t limitMs) {
  std::lock_guard lock(writeMutex);
  return WritePipeMessage(pipe, static_cast<uint8_t>(PipeMessageType::LockScreenFrame), part1, part2, stopEvent,
                          limitMs);
}

}  // namespace

void BuildLockFrameBody(uint32_t width, uint32_t height, const uint8_t* rows, size_t pitch,
                        std::vector<uint8_t>& body) {
  const size_t rowBytes = size_t{width} * 4;
  body.resize(kLockFrameHeaderSize + rowBytes * height);
  PutFrameSize(body.data(), width, height);
  uint8_t* out = body.data() + kLockFrameHeaderSize;
  for (uint32_t y = 0; y < height; ++y) std::memcpy(out + rowBytes * y, rows + pitch * y, rowBytes);
}

bool WriteLockScreenFrame(HANDLE pipe, std::span<const uint8_t> body, std::mutex& writeMutex, HANDLE stopEvent,
                          uint32_t limitMs) {
  return WriteFrameMessage(pipe, body, {}, writeMutex, stopEvent, limitMs);
}

bool WriteLockScreenRows(HANDLE pipe, uint32_t width, uint32_t height, const uint8_t* rows, std::mutex& writeMutex,
                         HANDLE stopEvent, uint32_t limitMs) {
  uint8_t size[kLockFrameHeaderSize];
  PutFrameSize(size, width, height);
  return WriteFrameMessage(pipe, size, {rows, size_t{width} * 4 * height}, writeMutex, stopEvent, limitMs);
}

bool ReadLockAgentMessage(HANDLE pipe, uint8_t& type, std::vector<uint8_t>& body, HANDLE stopEvent) {
  return ReadPipeMessage(pipe, type, body, kLockAgentInputLimit, stopEvent);
}

}  // namespace kelm::service
