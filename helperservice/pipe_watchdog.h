#pragma once
// Cancels a pipe's I/O when a client overstays its time limit or the service stops. One
// thread serves every connection in turn, so a request costs no thread start.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace kelm::helperservice {

class PipeWatchdog {
 public:
  // `stopEvent` (manual reset) cancels an armed watch at once.
  explicit PipeWatchdog(HANDLE stopEvent);
  ~PipeWatchdog();
  PipeWatchdog(const PipeWatchdog&) = delete;
  PipeWatchdog& operator=(const PipeWatchdog&) = delete;

  // While it lives, the pipe's I/O is cancelled once `limitMs` pass (or the service
  // stops), and again every 50 ms, so a read, a write or a flush to a client that
  // stopped taking part ends. Once it is gone, no cancel of this watch reaches the pipe.
  class Watch {
   public:
    explicit Watch(PipeWatchdog& owner) : owner_(owner) {}
    ~Watch() { owner_.Disarm(); }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;

   private:
    PipeWatchdog& owner_;
  };
  [[nodiscard]] Watch Arm(HANDLE pipe, uint32_t limitMs);

 private:
  static constexpr auto kPoll = std::chrono::milliseconds(50);

  void Disarm();
  void Run();

  HANDLE stopEvent_;
  std::mutex mutex_;
  std::condition_variable changed_;
  HANDLE pipe_ = nullptr;  // armed when set
  std::chrono::steady_clock::time_point deadline_{};
  bool quit_ = false;
  std::thread thread_;  // last: starts once the rest is ready
};

}  // namespace kelm::helperservice
