// Overlapped transfers of whole pipe messages with a stop event.
#include "media/pipe_framing.h"

#include <aclapi.h>

#include <algorithm>

#include "core/unique_any.h"
#include "core/win_handle.h"

namespace kelm {
namespace {

bool IsSet(HANDLE event) { return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// What is left of a time limit that started at `start` (GetTickCount64).
DWORD Remaining(uint32_t limitMs, uint64_t start) {
  if (limitMs == kPipeNoTimeLimit) return INFINITE;
  const uint64_t spent = GetTickCount64() - start;
  return spent >= limitMs ? 0 : static_cast<DWORD>(limitMs - spent);
}

// Waits for one issued operation, the stop event or the end of the time limit; on a stop
// or time-out the operation is cancelled and its end awaited, since the OVERLAPPED and the
// buffer must outlive it.
bool FinishOperation(HANDLE pipe, OVERLAPPED& ov, HANDLE stopEvent, DWORD waitMs, DWORD& moved) {
  if (stopEvent != nullptr || waitMs != INFINITE) {
    const HANDLE waits[2] = {ov.hEvent, stopEvent};
    const DWORD woke = WaitForMultipleObjects(stopEvent != nullptr ? 2 : 1, waits, FALSE, waitMs);
    if (woke != WAIT_OBJECT_0) {
      CancelIoEx(pipe, &ov);
      GetOverlappedResult(pipe, &ov, &moved, TRUE);
      return false;
    }
  }
  return GetOverlappedResult(pipe, &ov, &moved, TRUE) != FALSE;
}

}  // namespace

bool PipeTransfer(HANDLE pipe, bool write, std::span<uint8_t> buffer, HANDLE stopEvent, uint32_t timeLimitMs) {
  const uint64_t start = GetTickCount64();
  WinHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!event) return false;
  size_t done = 0;
  while (done < buffer.size()) {
    // Checked before every piece: a stop that came between two pieces (or two messages)
    // must not leave a fresh read waiting on a silent peer.
    if (IsSet(stopEvent)) return false;
    const DWORD piece = static_cast<DWORD>(std::min(buffer.size() - done, kPipeTransferPiece));
    OVERLAPPED ov{};
    ov.hEvent = event.Get();
    uint8_t* at = buffer.data() + done;
    const BOOL issued = write ? WriteFile(pipe, at, piece, nullptr, &ov) : ReadFile(pipe, at, piece, nullptr, &ov);
    if (!issued && GetLastError() != ERROR_IO_PENDING) return false;
    DWORD moved = 0;
    if (!FinishOperation(pipe, ov, stopEvent, Remaining(timeLimitMs, start), moved) || moved == 0) return false;
    done += moved;
  }
  return true;
}

bool ReadPipeMessage(HANDLE pipe, uint8_t& type, std::vector<uint8_t>& body, size_t bodyLimit,
                     HANDLE stopEvent) {
  PipeHeader header{};
  // The length and the type are two reads, as a writer may send them apart.
  const bool headerRead = PipeTransfer(pipe, false, std::span(header).first(4), stopEvent) &&
                          PipeTransfer(pipe, false, std::span(header).subspan(4), stopEvent);
  const std::optional<PipeHeaderFields> fields =
      headerRead ? ParsePipeHeader(header, bodyLimit) : std::optional<PipeHeaderFields>{};
  if (!fields) {
    body.clear();
    return false;
  }
  // Not cleared first: a buffer reused for messages of one size (frames) is then neither
  // reallocated nor zeroed before the read overwrites it.
  body.resize(fields->bodySize);
  if (!PipeTransfer(pipe, false, body, stopEvent)) {
    body.clear();
    return false;
  }
  type = fields->type;
  return true;
}

bool WritePipeMessage(HANDLE pipe, uint8_t type, std::span<const uint8_t> part1, std::span<const uint8_t> part2,
                      HANDLE stopEvent, uint32_t timeLimitMs) {
  if (part1.size() + part2.size() > kPipeMaxBody) return false;
  const uint64_t start = GetTickCount64();
  PipeHeader header = EncodePipeHeader(type, part1.size() + part2.size());
  if (!PipeTransfer(pipe, true, header, stopEvent, Remaining(timeLimitMs, start))) return false;
  // A write only reads its buffer; PipeTransfer takes one span type for both directions.
  for (const std::span<const uint8_t> part : {part1, part2}) {
    if (part.empty()) continue;
    const std::span<uint8_t> bytes(const_cast<uint8_t*>(part.data()), part.size());
    if (!PipeTransfer(pipe, true, bytes, stopEvent, Remaining(timeLimitMs, start))) return false;
  }
  return true;
}

bool PipeOwnedByLocalSystem(HANDLE pipe) {
  using LocalMemory = UniqueAny<HLOCAL, &LocalFree>;
  PSID owner = nullptr;
  LocalMemory descriptor;
  if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put())) != ERROR_SUCCESS) {
    return false;
  }
  return owner != nullptr && IsWellKnownSid(owner, WinLocalSystemSid);
}

}  // namespace kelm
