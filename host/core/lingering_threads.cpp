// Adopted threads, joined when their handle says they ended.
#include "core/lingering_threads.h"

#include <windows.h>
#include <pthread.h>

#include <mutex>
#include <new>
#include <vector>

#include "core/log.h"

namespace kelm {
namespace {

struct Lingering {
  std::mutex mutex;
  std::vector<std::thread> threads;
};

// Never destroyed: a thread still blocked at exit must not meet the destructor of its
// std::thread (which would end the program with std::terminate); the process ends it.
Lingering& Threads() {
  alignas(Lingering) static unsigned char storage[sizeof(Lingering)];
  static Lingering* const threads = ::new (storage) Lingering;
  return *threads;
}

HANDLE ThreadHandle(std::thread& thread) { return static_cast<HANDLE>(pthread_gethandle(thread.native_handle())); }

// Joins the threads that end within `waitMs` (in all) and keeps the others.
size_t JoinEnded(std::vector<std::thread>& threads, uint32_t waitMs) {
  const uint64_t until = GetTickCount64() + waitMs;
  const std::thread::id self = std::this_thread::get_id();
  for (auto it = threads.begin(); it != threads.end();) {
    if (it->get_id() == self) {
      ++it;
      continue;
    }
    const uint64_t now = GetTickCount64();
    const DWORD wait = now >= until ? 0 : static_cast<DWORD>(until - now);
    const HANDLE handle = ThreadHandle(*it);
    if (handle != nullptr && WaitForSingleObject(handle, wait) == WAIT_OBJECT_0) {
      it->join();
      it = threads.erase(it);
    } else {
      ++it;
    }
  }
  return threads.size();
}

}  // namespace

void AdoptLingeringThread(std::thread thread) {
  if (!thread.joinable()) return;
  Lingering& lingering = Threads();
  std::lock_guard lock(lingering.mutex);
  JoinEnded(lingering.threads, 0);
  lingering.threads.push_back(std::move(thread));
}

size_t JoinLingeringThreads(uint32_t waitMs) {
  Lingering& lingering = Threads();
  std::vector<std::thread> taken;
  {
    // Waited for outside the lock: a thread may adopt itself as its last act.
    std::lock_guard lock(lingering.mutex);
    taken.swap(lingering.threads);
  }
  JoinEnded(taken, waitMs);
  size_t left = 0;
  {
    std::lock_guard lock(lingering.mutex);
    for (std::thread& thread : taken) lingering.threads.push_back(std::move(thread));
    left = lingering.threads.size();
  }
  if (left != 0) LogWarn("{} worker thread(s) still blocked in the system", left);
  return left;
}

size_t LingeringThreadCount() {
  Lingering& lingering = Threads();
  std::lock_guard lock(lingering.mutex);
  return lingering.threads.size();
}

}  // namespace kelm
