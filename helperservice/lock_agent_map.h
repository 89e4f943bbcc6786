#pragma once
// The service's table of running lock agents, one per session: a start is decided and
// recorded under one lock, so two callers never start two agents for one session.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "core/win_handle.h"

namespace kelm::service {

class LockAgentMap {
 public:
  // Runs `start` for the session unless the map holds a live agent for it, and keeps the
  // process handle it returns (an empty handle keeps nothing and forgets an ended agent). The lock is held from the
  // check through `start` to the insert: a second caller waits and then sees the agent.
  // True when `start` ran.
  bool StartIfNone(uint32_t session, const std::function<WinHandle()>& start);
  // True when the session's agent has ended with exit code 0 (it saw its session
  // unlock) and no newer one was started.
  bool EndedCleanly(uint32_t session);
  // Ends every agent (exit code 0) and empties the map.
  void TerminateAll();
  // Agents whose process still runs.
  size_t RunningCount();

 private:
  static bool Running(const WinHandle& process);
  std::mutex mutex_;
  std::map<uint32_t, WinHandle> agents_;
};

}  // namespace kelm::service
