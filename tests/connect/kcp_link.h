#pragma once
// A simulated datagram link between two control blocks, with a virtual clock and seeded loss.
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "connect/kcp.h"

namespace tavro::connect::test {

inline constexpr uint32_t kTestConv = 0x74766331;

struct KcpDeleter {
  void operator()(ikcpcb* kcp) const { ikcp_release(kcp); }
};
using KcpPtr = std::unique_ptr<ikcpcb, KcpDeleter>;

// Everything one control block sent, kept for inspection.
struct Capture {
  std::vector<std::vector<uint8_t>> datagrams;
};

inline int CaptureOutput(const char* buf, int len, ikcpcb*, void* user) {
  auto* capture = static_cast<Capture*>(user);
  capture->datagrams.emplace_back(buf, buf + len);
  return 0;
}

// The settings the relay stream uses.
inline KcpPtr MakeStreamKcp(void* user, KcpOutput output, bool stream = true) {
  KcpPtr kcp(ikcp_create(kTestConv, user));
  kcp->stream = stream ? 1 : 0;
  ikcp_setoutput(kcp.get(), output);
  ikcp_setmtu(kcp.get(), 1200);
  ikcp_wndsize(kcp.get(), 1024, 1024);
  ikcp_nodelay(kcp.get(), 1, 10, 2, 1);
  return kcp;
}

// Two control blocks joined by a link with fixed delay and independent seeded loss.
class SimulatedLink {
 public:
  struct Side;
  struct Packet {
    uint32_t due;
    std::vector<uint8_t> bytes;
  };
  struct Side {
    SimulatedLink* link = nullptr;
    int index = 0;
    KcpPtr kcp;
    std::deque<Packet> inbound;  // datagrams on their way to this side
  };

  SimulatedLink(uint32_t startClock, double loss, uint32_t delayMs, uint32_t seed,
                bool stream = true)
      : now_(startClock), loss_(loss), delay_(delayMs), rng_(seed) {
    for (int i = 0; i < 2; ++i) {
      sides_[i].link = this;
      sides_[i].index = i;
      sides_[i].kcp = MakeStreamKcp(&sides_[i], &SimulatedLink::Output, stream);
    }
  }

  ikcpcb* A() { return sides_[0].kcp.get(); }
  ikcpcb* B() { return sides_[1].kcp.get(); }
  uint32_t Now() const { return now_; }
  uint64_t Delivered() const { return delivered_; }
  uint64_t Dropped() const { return dropped_; }
  // Commands seen on the wire (segment command byte of every segment), per sender.
  const std::vector<uint8_t>& Commands(int side) const { return commands_[side]; }
  void SetDropAll(int toSide, bool drop) { dropAll_[toSide] = drop; }

  // Advances the clock by one millisecond: delivers due datagrams, then updates both blocks.
  void Step() {
    ++now_;
    for (auto& side : sides_) {
      while (!side.inbound.empty() && static_cast<int32_t>(now_ - side.inbound.front().due) >= 0) {
        auto packet = std::move(side.inbound.front());
        side.inbound.pop_front();
        ikcp_input(side.kcp.get(), reinterpret_cast<const char*>(packet.bytes.data()),
                   static_cast<long>(packet.bytes.size()));
        ++delivered_;
      }
    }
    for (auto& side : sides_) ikcp_update(side.kcp.get(), now_);
  }

 private:
  static int Output(const char* buf, int len, ikcpcb*, void* user) {
    auto* from = static_cast<Side*>(user);
    SimulatedLink* link = from->link;
    Side& to = link->sides_[1 - from->index];
    for (int at = 0; at + kKcpOverhead <= len;) {
      link->commands_[from->index].push_back(static_cast<uint8_t>(buf[at + 4]));
      uint32_t segLen = static_cast<uint8_t>(buf[at + 20]) | (static_cast<uint8_t>(buf[at + 21]) << 8) |
                        (static_cast<uint8_t>(buf[at + 22]) << 16) |
                        (static_cast<uint32_t>(static_cast<uint8_t>(buf[at + 23])) << 24);
      at += kKcpOverhead + static_cast<int>(segLen);
    }
    if (link->dropAll_[to.index] || link->chance_(link->rng_) < link->loss_) {
      ++link->dropped_;
      return 0;
    }
    to.inbound.push_back({link->now_ + link->delay_, std::vector<uint8_t>(buf, buf + len)});
    return 0;
  }

  uint32_t now_;
  double loss_;
  uint32_t delay_;
  std::mt19937 rng_;
  std::uniform_real_distribution<double> chance_{0.0, 1.0};
  Side sides_[2];
  bool dropAll_[2] = {false, false};
  std::vector<uint8_t> commands_[2];
  uint64_t delivered_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace tavro::connect::test
