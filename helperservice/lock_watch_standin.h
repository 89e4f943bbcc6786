#pragma once
// Where no session-change control ever arrives (Wine: the lock state is the registry
// stand-in), the service looks at the lock state itself every 250 ms and starts the lock
// agent of a session that has just locked, as the control would have.
#include <windows.h>

#include <cstdint>
#include <map>
#include <thread>

#include "lock_agent_map.h"

namespace kelm::service {

class LockWatchStandIn {
 public:
  // True only under Wine, where the session lock query (WTSSessionInfoEx) fails.
  static bool Needed();

  // Watches until `stopEvent` is set, starting from the lock states the service's
  // start-up pass saw (so a lock it handled is not handled twice); Join waits for the thread.
  void Start(LockAgentMap& agents, HANDLE stopEvent, std::map<uint32_t, bool> seen);
  void Join();
  ~LockWatchStandIn() { Join(); }

 private:
  std::thread thread_;
};

}  // namespace kelm::service
