#pragma once
// A stand-in for the ICE layer in relay-client tests: every "connection" is a real
// loopback TCP pair whose device end the test keeps. The handed-over stream poisons
// itself when freed, and Close checks the poison, so a Close that reaches a freed
// stream ends the test program.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "connect/relay_ice.h"
#include "support/test_tcp.h"

namespace kelm::test {

class FakeIceCore {
 public:
  static constexpr uint64_t kAlive = 0x5afe5afe5afe5afeULL;
  static constexpr uint64_t kFreed = 0xdeaddeaddeaddeadULL;
  explicit FakeIceCore(std::unique_ptr<TestTcpStream> tcp) : tcp_(std::move(tcp)) {}
  ~FakeIceCore() { guard_ = kFreed; }
  void Close() {
    if (guard_ != kAlive) {
      std::fprintf(stderr, "FATAL: Close reached a relay stream that was already freed\n");
      std::fflush(stderr);
      std::abort();
    }
    if (tcp_) tcp_->Shutdown();
  }
  ByteStream* Tcp() { return tcp_.get(); }

 private:
  volatile uint64_t guard_ = kAlive;
  std::unique_ptr<TestTcpStream> tcp_;
};

// The byte stream a session gets: owns the core, as the real relay stream owns its
// ICE stream.
class FakeConnectStream : public ByteStream {
 public:
  explicit FakeConnectStream(std::unique_ptr<FakeIceCore> core) : core_(std::move(core)) {}
  bool ReadExact(void* buffer, size_t n) override { return core_->Tcp() && core_->Tcp()->ReadExact(buffer, n); }
  bool Write(const void* data, size_t n) override { return core_->Tcp() && core_->Tcp()->Write(data, n); }
  void SetReadTimeout(uint32_t ms) override {
    if (core_->Tcp()) core_->Tcp()->SetReadTimeout(ms);
  }
  void Shutdown() override { core_->Close(); }

 private:
  std::unique_ptr<FakeIceCore> core_;
};

struct FakeIceControl {
  std::mutex mutex;
  std::condition_variable changed;
  bool failCreate = false;
  bool connectAtOnce = true;   // else WaitConnected waits until closed or timed out
  bool answerBlocks = false;   // Answer waits until closed
  std::optional<IceCandidatePair> pair = IceCandidatePair{"host", "127.0.0.1 40000", "host", "127.0.0.1 40001"};
  std::vector<RelayIceRequest> requests;
  std::vector<std::unique_ptr<TestTcpStream>> deviceEnds;
  int closed = 0;

  RelayIceFactory Factory();
  size_t Requests() {
    std::lock_guard lock(mutex);
    return requests.size();
  }
};

class FakeIceStream : public RelayIceStream {
 public:
  FakeIceStream(FakeIceControl& control, std::unique_ptr<FakeIceCore> core, size_t turnEntries)
      : control_(control), core_(std::move(core)), coreView_(core_.get()), turnEntries_(turnEntries) {}
  size_t TurnEntries() const override { return turnEntries_; }
  std::optional<std::string> Answer(std::string_view offer, uint32_t timeoutMs) override {
    std::unique_lock lock(control_.mutex);
    if (control_.answerBlocks) {
      control_.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return closed_; });
      return std::nullopt;
    }
    if (offer.find("a=ice-ufrag:") == std::string_view::npos) return std::nullopt;
    return "v=0\r\na=ice-ufrag:pcpc\r\na=ice-pwd:fakefakefakefakefakefake\r\n";
  }
  bool WaitConnected(uint32_t timeoutMs) override {
    std::unique_lock lock(control_.mutex);
    if (!control_.connectAtOnce) {
      control_.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return closed_; });
      return false;
    }
    return !closed_;
  }
  std::optional<IceCandidatePair> SelectedCandidates() override {
    std::lock_guard lock(control_.mutex);
    return control_.pair;
  }
  void Close() override {
    {
      std::lock_guard lock(control_.mutex);
      closed_ = true;
      ++control_.closed;
    }
    control_.changed.notify_all();
    coreView_->Close();  // like the real stream: the pointer outlives the hand-over
  }
  std::unique_ptr<ByteStream> TakeStream() override { return std::make_unique<FakeConnectStream>(std::move(core_)); }

 private:
  FakeIceControl& control_;
  std::unique_ptr<FakeIceCore> core_;
  FakeIceCore* coreView_;
  size_t turnEntries_;
  bool closed_ = false;
};

inline RelayIceFactory FakeIceControl::Factory() {
  return [this](const RelayIceRequest& request) -> std::unique_ptr<RelayIceStream> {
    {
      std::lock_guard lock(mutex);
      requests.push_back(request);
      if (failCreate) return nullptr;
    }
    auto [hostEnd, deviceEnd] = LoopbackPair();
    if (!hostEnd) return nullptr;
    hostEnd->SetReadTimeout(0);
    size_t turn = 0;
    for (const RelayTurnServer& s : request.turnServers) turn += s.urls.size();
    {
      std::lock_guard lock(mutex);
      deviceEnds.push_back(std::move(deviceEnd));
    }
    return std::make_unique<FakeIceStream>(*this, std::make_unique<FakeIceCore>(std::move(hostEnd)),
                                           std::min<size_t>(turn, 2));
  };
}

}  // namespace kelm::test
