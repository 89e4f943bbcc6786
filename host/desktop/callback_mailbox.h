#pragma once
// One subscriber's calls, delivered in order on a thread of its own, so a subscriber that
// blocks (a session whose device stopped reading) delays no other and holds no lock of
// whoever posts.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "core/lingering_threads.h"

namespace kelm {

class CallbackMailbox {
 public:
  CallbackMailbox() : thread_([this] { Run(); }) {}
  ~CallbackMailbox() { Close(); }
  CallbackMailbox(const CallbackMailbox&) = delete;
  CallbackMailbox& operator=(const CallbackMailbox&) = delete;

  // Any thread: the call runs later on the mailbox's thread (never after Close).
  void Post(std::function<void()> call) {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      calls_.push_back(std::move(call));
    }
    wake_.notify_one();
  }

  // Drops calls not yet run, waits for one under way, ends the thread. Not from a call.
  void Close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
      calls_.clear();
    }
    wake_.notify_one();
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        AdoptLingeringThread(std::move(thread_));  // closed from its own call: it ends when that call returns
      } else {
        thread_.join();
      }
    }
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closed_ || !calls_.empty(); });
      if (closed_) return;
      std::function<void()> call = std::move(calls_.front());
      calls_.pop_front();
      lock.unlock();
      call();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> calls_;
  bool closed_ = false;
  std::thread thread_;  // last: starts once the rest exists
};

}  // namespace kelm
