#pragma once
// The threads of this process, and waiting for the ones begun after a point to be gone.
#include <windows.h>

#include <cstdint>
#include <vector>

namespace kelm::test {

// Ids of this process's threads, as the system's thread snapshot lists them.
std::vector<DWORD> ProcessThreadIds();

// Remembers the threads there are when made; WaitForLaterThreads() then waits (bounded)
// until every thread begun since has ended, and a little longer.
//
// Why: under Wine a thread's C-library exit (its malloc cache, thread-local destructors)
// runs on after the thread is reported ended, on memory the process frees when it exits.
// Media Foundation's work-queue threads end at MFShutdown and a Direct3D device's command
// thread at the device's last release; a test process that exits in the same instant can
// die of a segmentation fault in free() after every test passed.
class LaterThreads {
 public:
  LaterThreads() : before_(ProcessThreadIds()) {}
  // True when they all ended within `timeoutMs`.
  bool WaitForLaterThreads(uint32_t timeoutMs) const;

 private:
  std::vector<DWORD> before_;
};

}  // namespace kelm::test
