// The service pipe's watchdog thread.
#include "pipe_watchdog.h"

namespace kelm::helperservice {

PipeWatchdog::PipeWatchdog(HANDLE stopEvent) : stopEvent_(stopEvent), thread_([this] { Run(); }) {}

PipeWatchdog::~PipeWatchdog() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

PipeWatchdog::Watch PipeWatchdog::Arm(HANDLE pipe, uint32_t limitMs) {
  {
    std::lock_guard lock(mutex_);
    pipe_ = pipe;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  }
  changed_.notify_all();
  return Watch(*this);
}

void PipeWatchdog::Disarm() {
  // The cancel happens under the lock, so none is left in flight after this.
  std::lock_guard lock(mutex_);
  pipe_ = nullptr;
}

void PipeWatchdog::Run() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    if (pipe_ == nullptr) {
      changed_.wait(lock, [this] { return quit_ || pipe_ != nullptr; });
      continue;
    }
    const bool stopping = stopEvent_ != nullptr && WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0;
    if (stopping || std::chrono::steady_clock::now() >= deadline_) CancelIoEx(pipe_, nullptr);
    changed_.wait_for(lock, kPoll);
  }
}

}  // namespace kelm::helperservice
