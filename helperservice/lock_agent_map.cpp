// The lock agent table: check and insert under the one mutex.
#include "lock_agent_map.h"

namespace kelm::service {

bool LockAgentMap::Running(const WinHandle& process) {
  return process && WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

bool LockAgentMap::StartIfNone(uint32_t session, const std::function<WinHandle()>& start) {
  std::lock_guard lock(mutex_);
  const auto found = agents_.find(session);
  if (found != agents_.end() && Running(found->second)) return false;
  WinHandle process = start();
  // Closes the handle of an ended agent.
  if (process) {
    agents_[session] = std::move(process);
  } else if (found != agents_.end()) {
    agents_.erase(found);
  }
  return true;
}

bool LockAgentMap::EndedCleanly(uint32_t session) {
  std::lock_guard lock(mutex_);
  const auto found = agents_.find(session);
  if (found == agents_.end() || Running(found->second)) return false;
  DWORD code = 1;
  return GetExitCodeProcess(found->second.Get(), &code) && code == 0;
}

void LockAgentMap::TerminateAll() {
  std::lock_guard lock(mutex_);
  for (auto& [session, process] : agents_) TerminateProcess(process.Get(), 0);
  agents_.clear();
}

size_t LockAgentMap::RunningCount() {
  std::lock_guard lock(mutex_);
  size_t count = 0;
  for (const auto& [session, process] : agents_) count += Running(process) ? 1 : 0;
  return count;
}

}  // namespace kelm::service
