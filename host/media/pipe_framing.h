#pragma once
// Reading and writing whole messages on an overlapped named pipe of the helper service,
// in pieces of at most 4 MiB, each transfer ending early when the caller's stop event is set.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "media/pipe_message.h"

namespace kelm {

inline constexpr uint32_t kPipeNoTimeLimit = INFINITE;

// Moves the whole buffer (write: from it, else into it) through the overlapped pipe.
// stopEvent (a manual-reset event, may be null) ends it: the operation in flight is
// cancelled and waited for, and the transfer fails; a set event fails it before it starts.
// So does the time limit, counted from the call (for writes to a peer that stopped reading).
bool PipeTransfer(HANDLE pipe, bool write, std::span<uint8_t> buffer, HANDLE stopEvent,
                  uint32_t timeLimitMs = kPipeNoTimeLimit);

// One message: its header is checked against bodyLimit (the largest body this caller
// accepts, at most kPipeMaxBody) before the body is allocated. False on a closed or
// broken pipe, a bad header or a stop; body is then empty.
bool ReadPipeMessage(HANDLE pipe, uint8_t& type, std::vector<uint8_t>& body, size_t bodyLimit,
                     HANDLE stopEvent);

// The 5-byte header, then part1 and part2 (either may be empty) as one message body; the
// time limit holds for the whole message. A failure may leave part of it written.
bool WritePipeMessage(HANDLE pipe, uint8_t type, std::span<const uint8_t> part1, std::span<const uint8_t> part2,
                      HANDLE stopEvent, uint32_t timeLimitMs = kPipeNoTimeLimit);

// Whether the pipe's server made it as LocalSystem: the host trusts only the helper
// service's pipes, since any program of the user could create one of the same name.
bool PipeOwnedByLocalSystem(HANDLE pipe);

}  // namespace kelm
