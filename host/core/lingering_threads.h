#pragma once
// The owner of worker threads that outlived the object that started them: a thread still
// blocked in a system call no stop can wake (a WASAPI open, a name lookup), or one whose
// owner was stopped from inside it and so could not join it. Each is joined here once it
// has ended; any still blocked when the program exits ends with the process.
#include <cstddef>
#include <cstdint>
#include <thread>

namespace kelm {

// Takes a joinable `thread` to be joined once it ends (any thread may call, the thread
// itself included). Threads adopted earlier that have ended are joined first.
void AdoptLingeringThread(std::thread thread);

// Joins every adopted thread that has ended, waiting up to `waitMs` in all for the others
// (never for the calling thread); returns how many are still running.
size_t JoinLingeringThreads(uint32_t waitMs);

// How long a program's exit waits for its lingering threads.
inline constexpr uint32_t kLingeringExitWaitMs = 1000;

// Adopted threads not yet joined.
size_t LingeringThreadCount();

}  // namespace kelm
