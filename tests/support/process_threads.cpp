// Thread snapshot of this process and waiting for threads to end.
#include "support/process_threads.h"

#include <tlhelp32.h>

#include <algorithm>

#include "core/win_handle.h"

namespace kelm::test {
namespace {

// What an ended thread's C-library exit needs after the system reports it ended; measured
// in microseconds, so this leaves a wide margin on a loaded machine.
constexpr DWORD kExitSettleMs = 30;

}  // namespace

std::vector<DWORD> ProcessThreadIds() {
  std::vector<DWORD> ids;
  const WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  }
  return ids;
}

bool LaterThreads::WaitForLaterThreads(uint32_t timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  bool allEnded = true;
  for (const DWORD id : ProcessThreadIds()) {
    if (id == GetCurrentThreadId() || std::find(before_.begin(), before_.end(), id) != before_.end()) continue;
    const WinHandle thread(OpenThread(SYNCHRONIZE, FALSE, id));
    if (!thread) continue;  // ended between the snapshot and here
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
    if (WaitForSingleObject(thread.Get(), left) != WAIT_OBJECT_0) allEnded = false;
  }
  Sleep(kExitSettleMs);
  return allEnded;
}

}  // namespace kelm::test
