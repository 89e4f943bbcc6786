// Tests of the host's ICE set-up for relay requests: which TURN entries and bind address
// reach the ICE stream, and the hand-over of a connected stream over loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "connect/juice.h"
#include "connect/ice_relay_stream.h"

namespace kelm {
namespace {

using tavro::connect::IceTestSettings;
using tavro::connect::juice_agent_t;

RelayTurnServer Turn(std::vector<std::string> urls, std::string user = "user", std::string secret = "secret") {
  return RelayTurnServer{std::move(urls), std::move(user), std::move(secret)};
}

struct TurnCase {
  const char* name;
  std::vector<RelayTurnServer> servers;
  std::vector<std::string> kept;  // "host:port" of the kept entries, in order
};

TEST(RelayIceSetup, KeepsAtMostTwoUsableTurnEntriesServerByServer) {
  const std::vector<TurnCase> cases = {
      {"none", {}, {}},
      {"one", {Turn({"turn:127.0.0.1:3478"})}, {"127.0.0.1:3478"}},
      {"urls of one server in order",
       {Turn({"turn:127.0.0.1:1000", "turn:127.0.0.1:1001?transport=udp", "turn:127.0.0.1:1002"})},
       {"127.0.0.1:1000", "127.0.0.1:1001"}},
      {"across servers", {Turn({"turn:127.0.0.1:1000"}), Turn({"turn:127.0.0.1:2000", "turn:127.0.0.1:2001"})},
       {"127.0.0.1:1000", "127.0.0.1:2000"}},
      {"unusable urls skipped",
       {Turn({"turns:127.0.0.1:1000", "turn:127.0.0.1:1001?transport=tcp", "stun:127.0.0.1:1002"}),
        Turn({"turn:127.0.0.1:2000"}, ""), Turn({"turn:127.0.0.1:3000"}, "user", std::string(513, 'x')),
        Turn({"turn:127.0.0.1:4000"})},
       {"127.0.0.1:4000"}},
  };
  for (const TurnCase& c : cases) {
    auto setup = MakeRelayIceSetup(RelayIceRequest{.stunUrl = "", .turnServers = c.servers, .bindAddress = ""});
    ASSERT_TRUE(setup) << c.name;
    std::vector<std::string> kept;
    for (const auto& t : setup->turnServers) kept.push_back(t.host + ":" + std::to_string(t.port));
    EXPECT_EQ(kept, c.kept) << c.name;
  }
  auto setup = MakeRelayIceSetup(RelayIceRequest{.stunUrl = "", .turnServers = {Turn({"turn:127.0.0.1:1"}, "u", "p")}});
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->turnServers.at(0).username, "u");
  EXPECT_EQ(setup->turnServers.at(0).password, "p");
}

TEST(RelayIceSetup, BindAddressAndStunPassThrough) {
  auto all = MakeRelayIceSetup(RelayIceRequest{.stunUrl = "stun:127.0.0.1:3478", .turnServers = {}, .bindAddress = ""});
  ASSERT_TRUE(all);
  EXPECT_FALSE(all->loopbackOnly);
  EXPECT_EQ(all->stunServer, "stun:127.0.0.1:3478");
  auto loopback = MakeRelayIceSetup(RelayIceRequest{.stunUrl = "", .turnServers = {}, .bindAddress = "127.0.0.1"});
  ASSERT_TRUE(loopback);
  EXPECT_TRUE(loopback->loopbackOnly);
  EXPECT_FALSE(loopback->relayOnly);
  EXPECT_EQ(loopback->stunServer, "");
  auto relayOnly = MakeRelayIceSetup(
      RelayIceRequest{.stunUrl = "", .turnServers = {}, .bindAddress = "127.0.0.1", .relayOnlyForTest = true});
  ASSERT_TRUE(relayOnly);
  EXPECT_TRUE(relayOnly->relayOnly);
  for (const char* address : {"10.0.0.1", "0.0.0.0", "localhost", "::1"}) {
    EXPECT_FALSE(MakeRelayIceSetup(RelayIceRequest{.stunUrl = "", .turnServers = {}, .bindAddress = address}))
        << address;
    EXPECT_EQ(IceRelayStream::Create(RelayIceRequest{.stunUrl = "", .turnServers = {}, .bindAddress = address}),
              nullptr)
        << address;
  }
}

RelayIceRequest Loopback() { return RelayIceRequest{.stunUrl = "", .turnServers = {}, .bindAddress = "127.0.0.1"}; }

TEST(IceRelayStream, FactoryBuildsTheStreamAndRefusesABadStunEntry) {
  RelayIceFactory factory = DefaultRelayIceFactory();
  ASSERT_TRUE(factory);
  auto ice = factory(Loopback());
  ASSERT_NE(ice, nullptr);
  EXPECT_EQ(ice->TurnEntries(), 0u);
  RelayIceRequest twoTurns = Loopback();
  twoTurns.turnServers = {Turn({"turn:127.0.0.1:1", "turn:127.0.0.1:2", "turn:127.0.0.1:3"})};
  auto withTurn = factory(twoTurns);
  ASSERT_NE(withTurn, nullptr);
  EXPECT_EQ(withTurn->TurnEntries(), 2u);
  RelayIceRequest badStun = Loopback();
  badStun.stunUrl = "stun:host:0";
  EXPECT_EQ(factory(badStun), nullptr);
}

TEST(IceRelayStream, UnusableOfferAndEarlyCloseGiveNothing) {
  auto ice = IceRelayStream::Create(Loopback());
  ASSERT_TRUE(ice);
  EXPECT_FALSE(ice->Answer("a=ice-ufrag:abcd\r\n", 1000));  // no password
  EXPECT_FALSE(ice->SelectedCandidates());

  auto waiting = IceRelayStream::Create(Loopback());
  ASSERT_TRUE(waiting);
  ASSERT_TRUE(waiting->Answer("a=ice-ufrag:abcd\r\na=ice-pwd:abcdefghijklmnopqrstuv\r\n", 2000));
  auto start = std::chrono::steady_clock::now();
  waiting->Close();
  waiting->Close();  // idempotent
  EXPECT_FALSE(waiting->WaitConnected(10000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(waiting->TakeStream(), nullptr);  // a closed stream is never handed to a session
}

// The phone's side: an offering agent on loopback.
class Offerer {
 public:
  Offerer() {
    test_.loopbackOnly = true;
    test_.controlling = true;
    tavro::connect::juice_config_t config;
    config.cb_gathering_done = OnGathered;
    config.user_ptr = this;
    config.test = &test_;
    agent_ = tavro::connect::juice_create(&config);
  }
  ~Offerer() { tavro::connect::juice_destroy(agent_); }
  std::string Offer() {
    if (!agent_ || tavro::connect::juice_gather_candidates(agent_) != tavro::connect::JUICE_ERR_SUCCESS) return {};
    {
      std::unique_lock lock(mu_);
      cv_.wait_for(lock, std::chrono::seconds(5), [&] { return gathered_; });
    }
    char buffer[4096];
    if (tavro::connect::juice_get_local_description(agent_, buffer, sizeof buffer) != tavro::connect::JUICE_ERR_SUCCESS)
      return {};
    return buffer;
  }
  bool SetAnswer(const std::string& answer) {
    return tavro::connect::juice_set_remote_description(agent_, answer.c_str()) == tavro::connect::JUICE_ERR_SUCCESS &&
           tavro::connect::juice_set_remote_gathering_done(agent_) == tavro::connect::JUICE_ERR_SUCCESS;
  }

 private:
  static void OnGathered(juice_agent_t*, void* user) {
    auto* self = static_cast<Offerer*>(user);
    std::lock_guard lock(self->mu_);
    self->gathered_ = true;
    self->cv_.notify_all();
  }
  IceTestSettings test_;
  juice_agent_t* agent_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  bool gathered_ = false;
};

TEST(IceRelayStream, ConnectedStreamIsHandedOverOnceAndALateCloseLeavesItAlone) {
  Offerer phone;
  const std::string offer = phone.Offer();
  ASSERT_NE(offer.find("a=ice-ufrag:"), std::string::npos);
  auto ice = IceRelayStream::Create(Loopback());
  ASSERT_TRUE(ice);
  auto answer = ice->Answer(offer, 5000);
  ASSERT_TRUE(answer);
  ASSERT_TRUE(phone.SetAnswer(*answer));
  ASSERT_TRUE(ice->WaitConnected(15000));
  auto pair = ice->SelectedCandidates();
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->localType, "host");
  EXPECT_EQ(pair->remoteType, "host");
  EXPECT_EQ(pair->remoteAddress.rfind("127.0.0.1", 0), 0u) << pair->remoteAddress;

  std::unique_ptr<ByteStream> session = ice->TakeStream();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(ice->TakeStream(), nullptr);
  // Stop may still close the request's stream after the hand-over: the session's stream
  // must stay open, and outlive the request's object.
  ice->Close();
  EXPECT_FALSE(ice->WaitConnected(100));
  ice.reset();
  const char record[] = "hello";
  EXPECT_TRUE(session->Write(record, sizeof record));
  session->Shutdown();
  EXPECT_FALSE(session->Write(record, sizeof record));
}

}  // namespace
}  // namespace kelm
