// Figures of the relay's ICE stream: offer-to-answer and answer-to-connected times, and
// goodput both ways between an IceStream and an in-process offering peer over loopback.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "connect/ice_stream.h"
#include "connect/juice.h"
#include "connect/kcp.h"

namespace kelm::bench {
namespace {

using namespace tavro::connect;
using Clock = std::chrono::steady_clock;

constexpr size_t kBytesEachWay = 64u << 20;
constexpr size_t kPiece = 65536;

// The phone's side: an offering agent with its own control block and pump.
class OfferingPeer {
 public:
  explicit OfferingPeer(uint32_t lossPercent) {
    test_.loopbackOnly = true;
    test_.controlling = true;
    test_.faults.inboundDataLossPercent = lossPercent;
    juice_config_t config;
    config.cb_recv = OnRecv;
    config.cb_gathering_done = OnGathered;
    config.user_ptr = this;
    config.test = &test_;
    agent_ = juice_create(&config);
    kcp_ = ikcp_create(0x74766331, this);
    kcp_->stream = 1;
    ikcp_setoutput(kcp_, Output);
    ikcp_setmtu(kcp_, 1200);
    ikcp_wndsize(kcp_, 1024, 1024);
    ikcp_nodelay(kcp_, 1, 10, 2, 1);
  }
  ~OfferingPeer() {
    juice_destroy(agent_);
    ikcp_release(kcp_);
  }
  bool Valid() const { return agent_ != nullptr; }

  std::string Offer() {
    juice_gather_candidates(agent_);
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(5), [&] { return gathered_; });
    char buf[4096];
    if (juice_get_local_description(agent_, buf, sizeof buf) != JUICE_ERR_SUCCESS) return {};
    return buf;
  }
  bool SetAnswer(const std::string& answer) {
    return juice_set_remote_description(agent_, answer.c_str()) == JUICE_ERR_SUCCESS;
  }

  // Sends `total` bytes and receives `total` bytes; true when both completed in time.
  bool Transfer(size_t total, double timeoutSeconds) {
    std::vector<char> data(kPiece, 'd'), scratch(kPiece);
    size_t sent = 0, received = 0;
    auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while ((sent < total || received < total) && Clock::now() < deadline) {
      std::deque<std::vector<char>> taken;
      {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::milliseconds(2), [&] { return !queue_.empty(); });
        taken.swap(queue_);
      }
      for (auto& d : taken) ikcp_input(kcp_, d.data(), static_cast<long>(d.size()));
      while (sent < total && ikcp_waitsnd(kcp_) < 2048) {
        size_t piece = std::min(kPiece, total - sent);
        ikcp_send(kcp_, data.data(), static_cast<int>(piece));
        sent += piece;
      }
      ikcp_update(kcp_, static_cast<uint32_t>(
                            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count()));
      int n;
      while ((n = ikcp_recv(kcp_, scratch.data(), static_cast<int>(scratch.size()))) > 0) received += static_cast<size_t>(n);
    }
    return sent >= total && received >= total;
  }

 private:
  static void OnRecv(juice_agent_t*, const char* data, size_t size, void* user) {
    auto* self = static_cast<OfferingPeer*>(user);
    bool wake;
    {
      std::lock_guard lock(self->mu_);
      wake = self->queue_.empty();
      if (size >= 24 && self->queue_.size() < 4096) self->queue_.emplace_back(data, data + size);
    }
    if (wake) self->cv_.notify_all();
  }
  static void OnGathered(juice_agent_t*, void* user) {
    auto* self = static_cast<OfferingPeer*>(user);
    std::lock_guard lock(self->mu_);
    self->gathered_ = true;
    self->cv_.notify_all();
  }
  static int Output(const char* buf, int len, ikcpcb*, void* user) {
    juice_send(static_cast<OfferingPeer*>(user)->agent_, buf, static_cast<size_t>(len));
    return 0;
  }

  IceTestSettings test_;
  juice_agent_t* agent_ = nullptr;
  ikcpcb* kcp_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::vector<char>> queue_;
  bool gathered_ = false;
};

void RunGoodput(BenchOut& out, uint32_t lossPercent, bool reportTimes) {
  IceTestSettings test;
  test.loopbackOnly = true;
  test.faults.inboundDataLossPercent = lossPercent;
  IceStream::Config config;
  config.test = &test;
  auto stream = IceStream::Create(config);
  OfferingPeer peer(lossPercent);
  if (!stream || !peer.Valid()) return out.Fail("connect: creating the agents failed");
  std::string offer = peer.Offer();
  Stopwatch offerWatch;
  auto answer = stream->Answer(offer, 5000);
  double offerToAnswer = offerWatch.Seconds() * 1000;
  if (!answer || !peer.SetAnswer(*answer)) return out.Fail("connect: no answer");
  Stopwatch connectWatch;
  if (!stream->WaitConnected(10000)) return out.Fail("connect: not connected");
  double answerToConnected = connectWatch.Seconds() * 1000;
  if (reportTimes) {
    out.Figure("connect.offer_to_answer", offerToAnswer, "ms");
    out.Figure("connect.answer_to_connected", answerToConnected, "ms");
  }
  std::atomic<bool> writerOk{false};
  std::thread writer([&] {
    std::vector<char> data(kPiece, 'h');
    size_t sent = 0;
    while (sent < kBytesEachWay && stream->Write(data.data(), std::min(kPiece, kBytesEachWay - sent))) {
      sent += std::min(kPiece, kBytesEachWay - sent);
    }
    writerOk = sent == kBytesEachWay;
  });
  std::thread reader([&] {
    std::vector<char> buf(kPiece);
    size_t got = 0;
    while (got < kBytesEachWay) {
      long long n = stream->Read(buf.data(), buf.size(), 30000);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
  });
  Stopwatch watch;
  bool peerOk = peer.Transfer(kBytesEachWay, 300);
  double seconds = watch.Seconds();
  stream->Close();
  writer.join();
  reader.join();
  if (!peerOk || !writerOk) return out.Fail("connect: transfer incomplete");
  out.Figure(lossPercent == 0 ? "connect.ice_stream_goodput_0loss" : "connect.ice_stream_goodput_5loss",
             kBytesEachWay * 8.0 / seconds / 1e6, "Mbit/s");
}

void IceStreamBench(BenchOut& out) {
  RunGoodput(out, 0, true);
  RunGoodput(out, 5, false);
}

}  // namespace

TAVRO_BENCH("connect.ice_stream", IceStreamBench);

}  // namespace kelm::bench
