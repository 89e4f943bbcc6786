// The service's own look at the sessions' lock state, standing in for the
// session-change control under Wine.
#include "lock_watch_standin.h"

#include <wtsapi32.h>

#include <map>

#include "core/wine_detect.h"
#include "lock_agent_start.h"
#include "media/session_lock.h"

namespace kelm::service {
namespace {

constexpr DWORD kWatchEveryMs = 250;

using WtsBuffer = UniqueAny<void*, &WTSFreeMemory>;

bool LockQueryWorks() {
  WtsBuffer buffer;
  DWORD bytes = 0;
  return WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(), WTSSessionInfoEx,
                                     reinterpret_cast<LPWSTR*>(buffer.Put()), &bytes) != FALSE;
}

void Watch(LockAgentMap& agents, HANDLE stopEvent, std::map<uint32_t, bool> wasLocked) {
  while (WaitForSingleObject(stopEvent, kWatchEveryMs) == WAIT_TIMEOUT) {
    for (const uint32_t session : ActiveSessions()) {
      const bool locked = IsSessionLocked(session);
      // An agent that ended by itself while the session still counts as locked saw an
      // unlock this watch was too slow to see: that is a new lock.
      if (locked && (!wasLocked[session] || agents.EndedCleanly(session))) StartLockAgent(agents, session);
      wasLocked[session] = locked;
    }
  }
}

}  // namespace

bool LockWatchStandIn::Needed() { return RunningUnderWine() && !LockQueryWorks(); }

void LockWatchStandIn::Start(LockAgentMap& agents, HANDLE stopEvent, std::map<uint32_t, bool> seen) {
  thread_ = std::thread([&agents, stopEvent, seen = std::move(seen)] { Watch(agents, stopEvent, seen); });
}

void LockWatchStandIn::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace kelm::service
