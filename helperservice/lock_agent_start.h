#pragma once
// Starting the lock agent in a session that has just locked.
#include <cstdint>
#include <map>
#include <vector>

#include "lock_agent_map.h"

namespace kelm::service {

// Starts this program with "--lock-agent N" as the service's own user inside the
// session on "winsta0\winlogon", unless the session is 0 or 0xFFFFFFFF, its agent still
// runs, or no tavro.exe runs there (one INFO line).
void StartLockAgent(LockAgentMap& agents, uint32_t session);

// The sessions in the WTSActive state.
std::vector<uint32_t> ActiveSessions();

// Every active session's lock state, starting the agent of each locked one (the start-up
// pass of the service).
std::map<uint32_t, bool> StartAgentsOfLockedSessions(LockAgentMap& agents);

}  // namespace kelm::service
