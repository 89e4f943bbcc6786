// Tests of the ICE agent's logic: two agents joined by a simulated network and clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>

#include "connect/ice_agent.h"

namespace tavro::connect {
namespace {

struct Net;

struct Node {
  Net* net = nullptr;
  StunAddress address;
  std::unique_ptr<IceAgent> agent;
  std::vector<IceState> states;
  std::vector<std::vector<uint8_t>> data;
  bool gathered = false;
};

struct Net {
  struct Packet {
    StunAddress from, to;
    std::vector<uint8_t> bytes;
  };
  uint64_t now = 1000;
  std::deque<Packet> inFlight;
  bool dropAll = false;
  Node nodes[2];
  std::mt19937 rng{5};

  Net(IceTimers timers = {}, IceFaults faultsA = {}) {
    for (int i = 0; i < 2; ++i) {
      Node& n = nodes[i];
      n.net = this;
      n.address = *StunAddress::FromIp("127.0.0.1", static_cast<uint16_t>(40000 + i));
      StunAddress self = n.address;
      n.agent = std::make_unique<IceAgent>(
          [this, self](const StunAddress& to, std::span<const uint8_t> b) {
            if (!dropAll) inFlight.push_back({self, to, std::vector<uint8_t>(b.begin(), b.end())});
          },
          [this](uint8_t* out, size_t len) {
            for (size_t k = 0; k < len; ++k) out[k] = static_cast<uint8_t>(rng());
          },
          timers, i == 0 ? faultsA : IceFaults{});
      n.agent->SetHostAddresses({n.address});
    }
  }
  Node& A() { return nodes[0]; }
  Node& B() { return nodes[1]; }

  void Collect(Node& n) {
    for (auto& e : n.agent->TakeEvents()) {
      if (e.kind == IceAgent::Event::kState) n.states.push_back(e.state);
      if (e.kind == IceAgent::Event::kGatheringDone) n.gathered = true;
      if (e.kind == IceAgent::Event::kData) n.data.push_back(e.data);
    }
  }
  // Offer from B, answer from A (A is controlled, as the PC).
  bool Exchange() {
    B().agent->SetControlling(true);
    B().agent->StartGathering(now);
    std::string offer = B().agent->LocalDescription();
    if (!A().agent->SetRemoteDescription(offer, now)) return false;
    A().agent->StartGathering(now);
    std::string answer = A().agent->LocalDescription();
    bool ok = B().agent->SetRemoteDescription(answer, now);
    Collect(A());
    Collect(B());
    return ok;
  }
  void Run(uint64_t ms) {
    for (uint64_t t = 0; t < ms; ++t) {
      ++now;
      while (!inFlight.empty()) {
        Packet p = std::move(inFlight.front());
        inFlight.pop_front();
        for (auto& n : nodes) {
          if (n.address == p.to) n.agent->OnDatagram(p.from, p.bytes, now);
        }
      }
      for (auto& n : nodes) {
        n.agent->OnTimer(now);
        Collect(n);
      }
    }
  }
};

bool Has(const std::vector<IceState>& states, IceState s) {
  return std::find(states.begin(), states.end(), s) != states.end();
}

TEST(IceAgent, ConnectsCompletesAndCarriesData) {
  Net net;
  ASSERT_TRUE(net.Exchange());
  EXPECT_TRUE(net.A().gathered);
  net.Run(500);
  EXPECT_EQ(net.A().agent->State(), IceState::Completed);
  EXPECT_EQ(net.B().agent->State(), IceState::Completed);
  EXPECT_TRUE(Has(net.A().states, IceState::Gathering));
  EXPECT_TRUE(Has(net.A().states, IceState::Connecting));
  std::vector<uint8_t> payload(50, 7);
  ASSERT_TRUE(net.A().agent->Send(payload));
  net.Run(2);
  ASSERT_EQ(net.B().data.size(), 1u);
  EXPECT_EQ(net.B().data[0], payload);
  auto lines = net.A().agent->SelectedCandidateLines();
  ASSERT_TRUE(lines);
  EXPECT_NE(lines->first.find("127.0.0.1 40000 typ host"), std::string::npos);
  EXPECT_NE(lines->second.find("127.0.0.1 40001 typ host"), std::string::npos);
}

TEST(IceAgent, DamagedIntegrityNeverConnects) {
  for (IceFaults faults : {IceFaults{.corruptFingerprint = true}, IceFaults{.corruptIntegrity = true}}) {
    IceTimers timers;
    timers.connectTimeoutMs = 3000;
    Net net(timers, faults);
    ASSERT_TRUE(net.Exchange());
    net.Run(4000);
    EXPECT_FALSE(Has(net.A().states, IceState::Connected));
    EXPECT_FALSE(Has(net.B().states, IceState::Connected));
    EXPECT_EQ(net.A().agent->State(), IceState::Failed);
  }
}

TEST(IceAgent, RoleConflictIsResolved) {
  Net net;
  // Both start controlled: the tie-breakers decide who controls.
  net.B().agent->StartGathering(net.now);
  std::string offer = net.B().agent->LocalDescription();
  ASSERT_TRUE(net.A().agent->SetRemoteDescription(offer, net.now));
  net.A().agent->StartGathering(net.now);
  ASSERT_TRUE(net.B().agent->SetRemoteDescription(net.A().agent->LocalDescription(), net.now));
  net.Run(1000);
  EXPECT_NE(net.A().agent->Controlling(), net.B().agent->Controlling());
  EXPECT_EQ(net.A().agent->State(), IceState::Completed);
  EXPECT_EQ(net.B().agent->State(), IceState::Completed);
}

TEST(IceAgent, ConsentKeepsThePairAndItsLossFails) {
  IceTimers timers;
  timers.consentTimeoutMs = 3000;
  timers.consentIntervalMs = 500;
  Net net(timers);
  ASSERT_TRUE(net.Exchange());
  net.Run(500);
  ASSERT_EQ(net.A().agent->State(), IceState::Completed);
  net.Run(10000);  // idle far beyond the consent time-out: consent answers keep it
  EXPECT_EQ(net.A().agent->State(), IceState::Completed);
  net.dropAll = true;  // the peer vanishes
  uint64_t vanished = net.now;
  while (net.A().agent->State() != IceState::Failed && net.now - vanished < 10000) net.Run(10);
  EXPECT_EQ(net.A().agent->State(), IceState::Failed);
  EXPECT_LE(net.now - vanished, 3000u + 20u);
  EXPECT_FALSE(net.A().agent->Send(std::vector<uint8_t>(10, 1)));
}

TEST(IceAgent, RefusesBadDescriptionsAndUnknownSenders) {
  Net net;
  EXPECT_FALSE(net.A().agent->SetRemoteDescription("a=ice-ufrag:abcd\r\n", net.now));
  ASSERT_TRUE(net.Exchange());
  net.Run(500);
  // Data from an address that never proved the password is dropped.
  std::vector<uint8_t> junk(40, 1);
  net.A().agent->OnDatagram(*StunAddress::FromIp("127.0.0.1", 999), junk, net.now);
  net.Collect(net.A());
  EXPECT_TRUE(net.A().data.empty());
}

}  // namespace
}  // namespace tavro::connect
