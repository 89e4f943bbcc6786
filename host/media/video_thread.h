#pragma once
// One session's video thread: started with its body, asked to stop and joined by its
// owner, so no thread outlives the stream context it runs on.
#include <functional>
#include <stop_token>
#include <thread>

namespace kelm {

class VideoThread {
 public:
  // Runs until `stop` is requested (or ends by itself).
  using Body = std::function<void(std::stop_token stop)>;

  VideoThread() = default;
  ~VideoThread() { Stop(); }
  VideoThread(VideoThread&&) noexcept = default;
  // Stops and joins the thread this one held before taking the other's.
  VideoThread& operator=(VideoThread&& other) noexcept {
    if (this != &other) {
      Stop();
      thread_ = std::move(other.thread_);
    }
    return *this;
  }

  // Starts `body` on a thread of its own; only while stopped.
  void Start(Body body) {
    Stop();
    thread_ = std::jthread([body = std::move(body)](std::stop_token stop) { body(std::move(stop)); });
  }
  // Asks the body to end and waits for it; safe when never started or already stopped.
  void Stop() {
    if (!thread_.joinable()) return;
    thread_.request_stop();
    thread_.join();
  }
  // True from Start until Stop.
  bool Active() const { return thread_.joinable(); }

 private:
  std::jthread thread_;
};

}  // namespace kelm
