#pragma once
// The phone's end of a relay session for the benchmarks: an offering ICE agent on
// 127.0.0.1 with its own reliable-stream control block, as a byte stream the device
// client can talk through.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "connect/juice.h"
#include "connect/kcp.h"
#include "core/byte_stream.h"

namespace kelm::bench {

class IceDeviceStream : public ByteStream {
 public:
  IceDeviceStream() {
    using namespace tavro::connect;
    test_.loopbackOnly = true;
    test_.controlling = true;
    juice_config_t config;
    config.cb_recv = OnRecv;
    config.cb_state_changed = OnState;
    config.cb_gathering_done = OnGathered;
    config.user_ptr = this;
    config.test = &test_;
    agent_ = juice_create(&config);
    kcp_ = ikcp_create(kConversation, this);
    kcp_->stream = 1;
    ikcp_setoutput(kcp_, Output);
    ikcp_setmtu(kcp_, kMtu);
    ikcp_wndsize(kcp_, kWindow, kWindow);
    ikcp_nodelay(kcp_, 1, 10, 2, 1);
    pump_ = std::thread([this] { Pump(); });
  }
  ~IceDeviceStream() override {
    Shutdown();
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    pump_.join();
    tavro::connect::juice_destroy(agent_);
    tavro::connect::ikcp_release(kcp_);
  }
  bool Valid() const { return agent_ != nullptr; }

  // The offer the phone sends through the relay; empty when gathering failed.
  std::string Offer() {
    using namespace tavro::connect;
    if (juice_gather_candidates(agent_) != JUICE_ERR_SUCCESS) return {};
    {
      std::unique_lock lock(mutex_);
      if (!changed_.wait_for(lock, std::chrono::seconds(5), [&] { return gathered_; })) return {};
    }
    std::vector<char> text(8192);
    if (juice_get_local_description(agent_, text.data(), text.size()) != JUICE_ERR_SUCCESS) return {};
    return text.data();
  }
  bool SetAnswer(const std::string& answer) {
    using namespace tavro::connect;
    return juice_set_remote_description(agent_, answer.c_str()) == JUICE_ERR_SUCCESS &&
           juice_set_remote_gathering_done(agent_) == JUICE_ERR_SUCCESS;
  }
  // The time the agent reported a working path, once it has.
  std::optional<std::chrono::steady_clock::time_point> WaitConnected(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, limit, [&] { return connectedAt_.has_value() || failed_; });
    return connectedAt_;
  }

  bool ReadExact(void* buffer, size_t n) override {
    std::unique_lock lock(mutex_);
    const auto ready = [&] { return received_.size() >= n || closed_; };
    if (readTimeoutMs_ == 0) {
      changed_.wait(lock, ready);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(readTimeoutMs_), ready)) {
      return false;
    }
    if (received_.size() < n) return false;
    std::copy_n(received_.begin(), n, static_cast<uint8_t*>(buffer));
    received_.erase(received_.begin(), received_.begin() + static_cast<ptrdiff_t>(n));
    return true;
  }
  bool Write(const void* data, size_t n) override {
    using namespace tavro::connect;
    const auto* bytes = static_cast<const char*>(data);
    std::unique_lock lock(mutex_);
    while (n > 0) {
      // Bounded like an app's send buffer: wait while the control block holds a lot.
      changed_.wait(lock, [&] { return closed_ || ikcp_waitsnd(kcp_) < kMaxWaitingSegments; });
      if (closed_) return false;
      const size_t piece = std::min<size_t>(n, kPiece);
      if (ikcp_send(kcp_, bytes, static_cast<int>(piece)) < 0) return false;
      bytes += piece;
      n -= piece;
      // Out now rather than at the next tick, as far as the peer's window allows.
      if (kcp_->updated != 0) ikcp_flush(kcp_);
    }
    return true;
  }
  void SetReadTimeout(uint32_t ms) override {
    std::lock_guard lock(mutex_);
    readTimeoutMs_ = ms;
  }
  // Sends the close marker once, as the phone app does when it ends a session.
  void Shutdown() override {
    bool send = false;
    {
      std::lock_guard lock(mutex_);
      send = !closed_ && connectedAt_.has_value();
      closed_ = true;
    }
    changed_.notify_all();
    if (send) tavro::connect::juice_send(agent_, kMarker, sizeof kMarker - 1);
  }

 private:
  static constexpr uint32_t kConversation = 0x74766331;
  static constexpr int kMtu = 1200;
  static constexpr int kWindow = 1024;
  static constexpr int kMaxWaitingSegments = 2048;
  static constexpr size_t kPiece = 65536;
  static constexpr char kMarker[] = "tvcB";
  static constexpr size_t kMinSegment = 24;

  static uint32_t NowMs() {
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  }

  void Pump() {
    using namespace tavro::connect;
    std::vector<char> scratch(1 << 20);
    std::unique_lock lock(mutex_);
    while (!stop_) {
      changed_.wait_for(lock, std::chrono::milliseconds(5), [&] { return stop_ || !datagrams_.empty(); });
      for (const std::vector<char>& d : datagrams_) ikcp_input(kcp_, d.data(), static_cast<long>(d.size()));
      datagrams_.clear();
      ikcp_update(kcp_, NowMs());
      bool got = false;
      int n = 0;
      while ((n = ikcp_recv(kcp_, scratch.data(), static_cast<int>(scratch.size()))) > 0) {
        received_.insert(received_.end(), scratch.begin(), scratch.begin() + n);
        got = true;
      }
      if (got || ikcp_waitsnd(kcp_) < kMaxWaitingSegments) {
        lock.unlock();
        changed_.notify_all();
        lock.lock();
      }
    }
  }

  static void OnRecv(tavro::connect::juice_agent_t*, const char* data, size_t size, void* user) {
    auto* self = static_cast<IceDeviceStream*>(user);
    {
      std::lock_guard lock(self->mutex_);
      if (size == sizeof kMarker - 1 && std::memcmp(data, kMarker, size) == 0) {
        self->closed_ = true;  // the host ended the session
      } else if (size >= kMinSegment) {
        self->datagrams_.emplace_back(data, data + size);
      }
    }
    self->changed_.notify_all();
  }
  static void OnState(tavro::connect::juice_agent_t*, tavro::connect::juice_state_t state, void* user) {
    using namespace tavro::connect;
    auto* self = static_cast<IceDeviceStream*>(user);
    {
      std::lock_guard lock(self->mutex_);
      if ((state == JUICE_STATE_CONNECTED || state == JUICE_STATE_COMPLETED) && !self->connectedAt_) {
        self->connectedAt_ = std::chrono::steady_clock::now();
      }
      if (state == JUICE_STATE_FAILED) self->failed_ = true;
    }
    self->changed_.notify_all();
  }
  static void OnGathered(tavro::connect::juice_agent_t*, void* user) {
    auto* self = static_cast<IceDeviceStream*>(user);
    {
      std::lock_guard lock(self->mutex_);
      self->gathered_ = true;
    }
    self->changed_.notify_all();
  }
  // Runs inside ikcp_update or ikcp_flush, under mutex_.
  static int Output(const char* buffer, int length, tavro::connect::ikcpcb*, void* user) {
    tavro::connect::juice_send(static_cast<IceDeviceStream*>(user)->agent_, buffer, static_cast<size_t>(length));
    return 0;
  }

  tavro::connect::IceTestSettings test_;
  tavro::connect::juice_agent_t* agent_ = nullptr;
  tavro::connect::ikcpcb* kcp_ = nullptr;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<char>> datagrams_;
  std::deque<uint8_t> received_;
  uint32_t readTimeoutMs_ = 0;
  bool gathered_ = false;
  bool failed_ = false;
  bool closed_ = false;
  bool stop_ = false;
  std::optional<std::chrono::steady_clock::time_point> connectedAt_;
  std::thread pump_;
};

}  // namespace kelm::bench
