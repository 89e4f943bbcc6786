// The relay client against the relay-server simulator on 127.0.0.1 (started by the
// CTest driver, which passes its port in TAVRO_RELAY_SIM_PORT), with the ICE layer
// replaced by loopback TCP pairs.
#include "connect/connect_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <format>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connect/base64url.h"
#include "connect/relay_messages.h"
#include "connect/websocket_client.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "fake_relay_ice.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using test::WaitUntil;

constexpr char kTestStun[] = "stun:127.0.0.1:3478";
constexpr char kOffer[] = "v=0\r\na=ice-ufrag:phph\r\na=ice-pwd:phonephonephonephonephone\r\n";

std::string SimPort() {
  const char* port = std::getenv("TAVRO_RELAY_SIM_PORT");
  return port ? port : "1";
}
std::string SimServer() { return "ws://127.0.0.1:" + SimPort() + "/"; }

// The simulator's control channel.
class SimControl {
 public:
  bool Open() {
    std::string error;
    const std::string address = "ws://127.0.0.1:" + SimPort() + "/control";
    return ws_.Connect(std::wstring(address.begin(), address.end()), 10000, error);
  }
  std::string Call(const std::string& command) {
    std::string reply;
    uint16_t code = 0;
    if (!ws_.Send(command) || !ws_.Receive(reply, code, 1 << 20)) return "(no reply)";
    return reply;
  }
  Json Stats() { return Json::parse(Call("stats"), nullptr, false); }

 private:
  WebSocketClient ws_;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

DeviceKey PhoneKey(unsigned n) {
  DeviceKey key{};
  key[0] = 0x04;
  for (size_t i = 1; i < key.size(); ++i) key[i] = static_cast<uint8_t>(n * 31 + i * 3);
  return key;
}

std::string ConnectText(const std::string& requestId, const DeviceKey& key, const std::string& offer = kOffer) {
  return Json{{"type", "connect"},
              {"requestId", requestId},
              {"phoneId", PublicKeyId(key)},
              {"offer", offer},
              {"phonePublicKey", Base64UrlEncode(key)}}
      .dump();
}

// Sends a closed, never-listening port's address: nothing answers there.
uint16_t ClosedPort() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
  closesocket(s);
  return ntohs(a.sin_port);
}

class ConnectClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("TAVRO_RELAY_SIM_PORT"), nullptr) << "run through the CTest driver";
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SetProfileDir(profile.Path());
    ASSERT_TRUE(pairing.Load());
    ASSERT_TRUE(control.Open());
    ASSERT_EQ(control.Call("reset"), "ok");
  }
  void TearDown() override {
    client.reset();
    SetProfileDir(L"");
  }

  ConnectClient::Options Settings() {
    ConnectClient::Options s;
    s.defaultStun = kTestStun;
    s.iceBindAddress = "127.0.0.1";
    s.backoff = {200, 60000, 60000};
    s.iceFactory = ice.Factory();
    return s;
  }
  // A client whose streams go to `onStream` (default: taken and dropped at once).
  ConnectClient& MakeClient(ConnectClient::StreamCallback onStream = {},
                            std::optional<ConnectClient::Options> settings = {}) {
    if (!onStream) {
      onStream = [this](std::unique_ptr<ByteStream>, const std::string& peer) {
        std::lock_guard lock(peersMutex);
        peers.push_back(peer);
        return true;
      };
    }
    client = std::make_unique<ConnectClient>(pairing, "1.0.0", std::move(onStream));
    client->SetOptions(settings ? *settings : Settings());
    client->SetStateCallback([this] {
      const ConnectClient::Status s = client->GetStatus();
      std::lock_guard lock(statesMutex);
      states.push_back({s.state, s.detail, Clock::now()});
    });
    return *client;
  }
  bool WaitState(ConnectClient::State state, std::chrono::milliseconds limit = 10s) {
    return WaitUntil([&] { return client->GetStatus().state == state; }, limit);
  }
  bool GoOnline() {
    client->Configure(true, SimServer());
    return WaitState(ConnectClient::State::Online) && WaitUntil([&] { return control.Stats()["online"] == 1; });
  }
  // The texts the PC sent after signing in, once there are at least `n`.
  std::vector<Json> Received(size_t n) {
    std::vector<Json> out;
    WaitUntil([&] { return control.Stats()["received"].size() >= n; });
    const Json stats = control.Stats();
    for (const auto& text : stats["received"]) out.push_back(Json::parse(text.get<std::string>()));
    return out;
  }
  std::vector<std::string> PhoneIds(std::initializer_list<unsigned> numbers) {
    std::vector<std::string> ids;
    for (unsigned n : numbers) ids.push_back(PublicKeyId(PhoneKey(n)));
    std::sort(ids.begin(), ids.end());
    return ids;
  }

  struct StateChange {
    ConnectClient::State state;
    std::string detail;
    Clock::time_point at;
  };

  test::TempDir profile;
  test::LogCapture log{profile.File(L"relay.log")};
  Pairing pairing;
  SimControl control;
  test::FakeIceControl ice;
  std::mutex peersMutex;
  std::vector<std::string> peers;
  std::mutex statesMutex;
  std::vector<StateChange> states;
  std::unique_ptr<ConnectClient> client;
};

TEST_F(ConnectClientTest, SignsInOnTheWaitPathWithAVerifiedHelloAndGoesOnline) {
  for (unsigned n : {3u, 1u, 2u}) pairing.AddDevice(PhoneKey(n), "Phone");
  MakeClient();
  client->Configure(true, SimServer());  // the trailing '/' is dropped before the path
  ASSERT_TRUE(WaitState(ConnectClient::State::Online));
  const Json stats = control.Stats();
  ASSERT_EQ(stats["hellos"].size(), 1u);
  EXPECT_TRUE(stats["hellos"][0]["valid"]);
  EXPECT_EQ(stats["hellos"][0]["appVersion"], "1.0.0");
  EXPECT_EQ(stats["hellos"][0]["phones"].get<std::vector<std::string>>(), PhoneIds({1, 2, 3}));
  EXPECT_EQ(client->GetStatus().iceServers, std::vector<std::string>{"stun:127.0.0.1:3478"});
  EXPECT_EQ(client->GetStatus().detail, "");
  {
    std::lock_guard lock(statesMutex);
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[0].state, ConnectClient::State::Connecting);
    EXPECT_EQ(states[1].state, ConnectClient::State::Online);
  }
  EXPECT_EQ(Count(log.Text(), "INFO  tavro Connect: online (3 paired phones)"), 1u);

  // The same values again keep the one connection.
  client->Configure(true, SimServer());
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(control.Stats()["connections"], 1);

  // The server ends the connection: logged with its code, then a new sign-in.
  EXPECT_EQ(control.Call("close 1000"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return control.Stats()["connections"] == 2 && control.Stats()["online"] == 1; }));
  EXPECT_EQ(Count(log.Text(), "INFO  tavro Connect: disconnected from the server (code 1000)"), 1u);

  client->Configure(false, "");
  EXPECT_EQ(client->GetStatus().state, ConnectClient::State::Off);
}

TEST_F(ConnectClientTest, OnePhoneIsCountedInTheSingularAndNoneSignsAnEmptyList) {
  MakeClient();
  ASSERT_TRUE(GoOnline());
  EXPECT_EQ(control.Stats()["hellos"][0]["phones"].size(), 0u);
  EXPECT_EQ(Count(log.Text(), "tavro Connect: online (0 paired phones)"), 1u);
  pairing.AddDevice(PhoneKey(7), "Phone");
  client->OnPairingChanged();
  ASSERT_TRUE(WaitUntil([&] { return control.Stats()["hellos"].size() == 2 && control.Stats()["online"] == 1; }));
  EXPECT_EQ(control.Stats()["hellos"][1]["phones"].get<std::vector<std::string>>(), PhoneIds({7}));
  EXPECT_TRUE(WaitUntil([&] { return Count(log.Text(), "tavro Connect: online (1 paired phone)") == 1; }));
}

TEST_F(ConnectClientTest, KeepAliveSendsAPingEveryPeriod) {
  ConnectClient::Options s = Settings();
  s.keepAliveMs = 250;
  MakeClient({}, s);
  ASSERT_TRUE(GoOnline());
  const auto start = Clock::now();
  std::this_thread::sleep_for(1400ms);
  const int pings = control.Stats()["pings"];
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(pings, static_cast<int>(elapsed / 250) - 1);
  EXPECT_LE(pings, static_cast<int>(elapsed / 250) + 1);
  EXPECT_GE(pings, 4);
}

TEST_F(ConnectClientTest, AFirstMessageOtherThanAChallengeFailsTheSignIn) {
  ASSERT_EQ(control.Call("mode pong-first"), "ok");
  MakeClient();
  client->Configure(true, SimServer());
  ASSERT_TRUE(WaitState(ConnectClient::State::Failed));
  EXPECT_EQ(client->GetStatus().detail, "The tavro Connect server didn't answer as expected.");
}

TEST_F(ConnectClientTest, UnreachableServerGivesTheReasonAndAWarning) {
  MakeClient();
  client->Configure(true, std::format("ws://127.0.0.1:{}", ClosedPort()));
  ASSERT_TRUE(WaitState(ConnectClient::State::Failed));
  EXPECT_EQ(client->GetStatus().detail, "Can't reach the tavro Connect server (can't reach the server).");
  EXPECT_GE(Count(log.Text(), "WARN  tavro Connect: can't reach the server"), 1u);
  client->Configure(true, "");
  EXPECT_EQ(client->GetStatus().state, ConnectClient::State::Off);
  EXPECT_EQ(client->GetStatus().detail, "No tavro Connect server is set.");
}

// Refused at sign-in, or later while online: no new connection until the phone list
// changes, then at once with the new list.
class RefusalTest : public ConnectClientTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusalTest, RefusedPcWaitsForAPairingChange) {
  const bool atSignIn = GetParam();
  pairing.AddDevice(PhoneKey(1), "One");
  pairing.AddDevice(PhoneKey(2), "Two");
  MakeClient();
  if (atSignIn) {
    ASSERT_EQ(control.Call("mode refuse"), "ok");
    client->Configure(true, SimServer());
  } else {
    ASSERT_TRUE(GoOnline());
    ASSERT_EQ(control.Call("mode refuse"), "ok");
    ASSERT_EQ(control.Call("close 4001"), "ok");
  }
  ASSERT_TRUE(WaitState(ConnectClient::State::Failed));
  EXPECT_EQ(client->GetStatus().detail, "The tavro Connect server didn't accept this PC.");
  const int connections = control.Stats()["connections"];
  std::this_thread::sleep_for(10s);  // the back-off here would retry every 200..400 ms
  EXPECT_EQ(control.Stats()["connections"], connections);
  EXPECT_EQ(client->GetStatus().state, ConnectClient::State::Failed);

  ASSERT_EQ(control.Call("mode ready"), "ok");
  const auto removed = Clock::now();
  ASSERT_TRUE(pairing.RemoveDevice(pairing.Devices()[0].id));
  client->OnPairingChanged();
  ASSERT_TRUE(WaitState(ConnectClient::State::Online));
  EXPECT_LT(Clock::now() - removed, 1500ms);
  const Json hellos = control.Stats()["hellos"];
  EXPECT_EQ(hellos.back()["phones"].size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AtSignInAndLater, RefusalTest, ::testing::Bool());

TEST_F(ConnectClientTest, ReplacedConnectionWarnsAndBacksOff) {
  ConnectClient::Options s = Settings();
  s.backoff = {1000, 60000, 60000};
  MakeClient({}, s);
  ASSERT_TRUE(GoOnline());
  const auto closed = Clock::now();
  ASSERT_EQ(control.Call("close 4009"), "ok");
  ASSERT_TRUE(WaitUntil([&] { return control.Stats()["connections"] == 2; }));
  const auto waited = Clock::now() - closed;
  EXPECT_GE(waited, 800ms);
  EXPECT_LT(waited, 2000ms);
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "WARN  tavro Connect: replaced by another connection of this PC"), 1u);
  EXPECT_EQ(Count(text, "tavro Connect: disconnected from the server (code 4009)"), 1u);
}

TEST_F(ConnectClientTest, FirstThreeDelaysAgainstAClosedPortFollowTheBackOff) {
  ConnectClient::Options s = Settings();
  s.backoff = {1000, 60000, 60000};
  MakeClient({}, s);
  client->Configure(true, std::format("ws://127.0.0.1:{}", ClosedPort()));
  // Three failures and the three delays after them.
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard lock(statesMutex);
        return std::count_if(states.begin(), states.end(),
                             [](const StateChange& c) { return c.state == ConnectClient::State::Connecting; }) >= 4;
      },
      15s));
  client->Configure(false, "");
  std::vector<int64_t> delays;
  {
    std::lock_guard lock(statesMutex);
    for (size_t i = 1; i < states.size(); ++i) {
      if (states[i].state == ConnectClient::State::Connecting && states[i - 1].state == ConnectClient::State::Failed) {
        delays.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(states[i].at - states[i - 1].at).count());
      }
    }
  }
  ASSERT_GE(delays.size(), 3u);
  const int64_t low[] = {800, 1600, 3200};
  const int64_t high[] = {1200, 2400, 4800};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_GE(delays[i], low[i] - 5) << "delay " << i;
    EXPECT_LE(delays[i], high[i] + 150) << "delay " << i;
  }
}

TEST_F(ConnectClientTest, AcceptedRequestIsAnsweredAndHandedOverWithThePeerText) {
  pairing.AddDevice(PhoneKey(1), "One");
  MakeClient();
  ASSERT_TRUE(GoOnline());
  const std::string id = PublicKeyId(PhoneKey(1));
  ASSERT_EQ(control.Call("send " + ConnectText("r1", PhoneKey(1))), "sent");
  const auto sent = Received(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["type"], "answer");
  EXPECT_EQ(sent[0]["requestId"], "r1");
  EXPECT_NE(sent[0]["answer"].get<std::string>().find("a=ice-ufrag:pcpc"), std::string::npos);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(peersMutex);
    return peers.size() == 1;
  }));
  EXPECT_EQ(peers[0], "connect " + id.substr(0, 16) + " 127.0.0.1 40001 (host)");
  EXPECT_TRUE(WaitUntil([&] { return Count(log.Text(), "INFO  tavro Connect: direct connection to " + id.substr(0, 16)) == 1; }));
  ASSERT_EQ(ice.Requests(), 1u);
  EXPECT_EQ(ice.requests[0].stunUrl, "stun:127.0.0.1:3478");
  EXPECT_EQ(ice.requests[0].bindAddress, "127.0.0.1");

  // A relayed pair and a full session list.
  {
    std::lock_guard lock(ice.mutex);
    ice.pair = IceCandidatePair{"relay", "127.0.0.1 40010", "host", "127.0.0.1 40011"};
  }
  MakeClient([](std::unique_ptr<ByteStream>, const std::string&) { return false; });
  ASSERT_TRUE(GoOnline());
  ASSERT_EQ(control.Call("send " + ConnectText("r2", PhoneKey(1))), "sent");
  EXPECT_TRUE(WaitUntil([&] { return Count(log.Text(), "WARN  tavro Connect: no room for another device") == 1; }));
  EXPECT_EQ(Count(log.Text(), "INFO  tavro Connect: relayed connection to " + id.substr(0, 16)), 1u);
}

TEST_F(ConnectClientTest, StunEntryIsTheFirstStunUrlOrTheDefault) {
  pairing.AddDevice(PhoneKey(1), "One");
  const std::vector<std::pair<Json, std::string>> cases = {
      {Json::array({"turn:127.0.0.1:3478?transport=udp", "stun:127.0.0.1:3479"}), "stun:127.0.0.1:3479"},
      {Json::array(), kTestStun},
      {Json::array({"turn:127.0.0.1:3478"}), ""},
  };
  int round = 0;
  for (const auto& [list, expected] : cases) {
    ASSERT_EQ(control.Call("ice " + list.dump()), "ok");
    MakeClient();
    ASSERT_TRUE(GoOnline());
    if (list.empty()) {
      EXPECT_EQ(client->GetStatus().iceServers, std::vector<std::string>{kTestStun});
    }
    ASSERT_EQ(control.Call("send " + ConnectText(std::format("s{}", round), PhoneKey(1))), "sent");
    ASSERT_TRUE(WaitUntil([&] { return ice.Requests() == static_cast<size_t>(round + 1); }));
    EXPECT_EQ(ice.requests[round].stunUrl, expected) << list.dump();
    client->Configure(false, "");
    ++round;
  }
}

TEST_F(ConnectClientTest, RateLimitAndUnknownPhones) {
  pairing.AddDevice(PhoneKey(1), "One");
  MakeClient();
  ASSERT_TRUE(GoOnline());
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(control.Call("send " + ConnectText(std::format("a{}", i), PhoneKey(1))), "sent");
    ASSERT_TRUE(WaitUntil([&] { return control.Stats()["received"].size() == static_cast<size_t>(i + 1); }));
  }
  ASSERT_EQ(control.Call("send " + ConnectText("limited", PhoneKey(1))), "sent");
  ASSERT_EQ(control.Call("send " + ConnectText("stranger", PhoneKey(99))), "sent");
  const auto sent = Received(22);
  ASSERT_EQ(sent.size(), 22u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(sent[i]["type"], "answer") << i;
  EXPECT_EQ(sent[20], (Json{{"type", "reject"}, {"requestId", "limited"}, {"reason", "rate-limited"}}));
  EXPECT_EQ(sent[21], (Json{{"type", "reject"}, {"requestId", "stranger"}, {"reason", "not-paired"}}));
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "WARN  tavro Connect: request from " + PublicKeyId(PhoneKey(1)).substr(0, 16) +
                            " refused (rate-limited)"),
            1u);
  EXPECT_EQ(Count(text, "WARN  tavro Connect: request from " + PublicKeyId(PhoneKey(99)).substr(0, 16) +
                            " refused (not-paired)"),
            1u);
}

TEST_F(ConnectClientTest, RefusalWarningsAreThrottled) {
  MakeClient();
  ASSERT_TRUE(GoOnline());
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(control.Call("send " + ConnectText(std::format("x{}", i), PhoneKey(200 + i))), "sent");
  }
  const auto sent = Received(30);
  ASSERT_EQ(sent.size(), 30u);
  for (const Json& j : sent) EXPECT_EQ(j["reason"], "not-paired");
  EXPECT_EQ(Count(log.Text(), "refused (not-paired)"), 1u);
}

TEST_F(ConnectClientTest, FifthConcurrentRequestIsBusyAndStopEndsTheWaits) {
  pairing.AddDevice(PhoneKey(1), "One");
  ice.connectAtOnce = false;
  MakeClient();
  ASSERT_TRUE(GoOnline());
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(control.Call("send " + ConnectText(std::format("b{}", i), PhoneKey(1))), "sent");
  }
  const auto sent = Received(5);
  ASSERT_EQ(sent.size(), 5u);
  // Answers come from the request threads, the refusal from the connection thread:
  // their order on the wire varies.
  int answers = 0;
  std::vector<Json> rejects;
  for (const Json& j : sent) {
    if (j["type"] == "answer") ++answers;
    if (j["type"] == "reject") rejects.push_back(j);
  }
  EXPECT_EQ(answers, 4);
  EXPECT_EQ(rejects, std::vector<Json>{(Json{{"type", "reject"}, {"requestId", "b4"}, {"reason", "busy"}})});
  const auto start = Clock::now();
  client->Configure(false, "");
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(ice.closed, 4);
}

TEST_F(ConnectClientTest, UnusableOfferAndFailedCreationAnswerBusyWithAWarning) {
  pairing.AddDevice(PhoneKey(1), "One");
  MakeClient();
  ASSERT_TRUE(GoOnline());
  const std::string label = PublicKeyId(PhoneKey(1)).substr(0, 16);
  ASSERT_EQ(control.Call("send " + ConnectText("noufrag", PhoneKey(1), "v=0\r\na=ice-pwd:x\r\n")), "sent");
  auto sent = Received(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0], (Json{{"type", "reject"}, {"requestId", "noufrag"}, {"reason", "busy"}}));
  EXPECT_TRUE(WaitUntil([&] { return Count(log.Text(), "WARN  tavro Connect: invalid offer from " + label) == 1; }));

  {
    std::lock_guard lock(ice.mutex);
    ice.failCreate = true;
  }
  ASSERT_EQ(control.Call("send " + ConnectText("nocreate", PhoneKey(1))), "sent");
  sent = Received(2);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], (Json{{"type", "reject"}, {"requestId", "nocreate"}, {"reason", "busy"}}));
  EXPECT_TRUE(WaitUntil(
      [&] { return Count(log.Text(), "WARN  tavro Connect: couldn't set up a connection for " + label) == 1; }));
}

TEST_F(ConnectClientTest, NoPathIsLoggedWithWhetherARelayWasTried) {
  pairing.AddDevice(PhoneKey(1), "One");
  ice.connectAtOnce = false;
  ConnectClient::Options s = Settings();
  s.connectedWaitMs = 200;
  MakeClient({}, s);
  ASSERT_TRUE(GoOnline());
  ASSERT_EQ(control.Call("send " + ConnectText("np", PhoneKey(1))), "sent");
  const std::string label = PublicKeyId(PhoneKey(1)).substr(0, 16);
  EXPECT_TRUE(WaitUntil([&] {
    return Count(log.Text(), "WARN  tavro Connect: couldn't reach " + label + " (no direct path, no relay)") == 1;
  }));
  Json turn = Json::parse(ConnectText("np2", PhoneKey(1)));
  turn["turnServers"] = Json::array({{{"urls", "turn:127.0.0.1:3478"}, {"username", "u"}, {"credential", "c"}}});
  ASSERT_EQ(control.Call("send " + turn.dump()), "sent");
  EXPECT_TRUE(WaitUntil([&] {
    return Count(log.Text(), "WARN  tavro Connect: couldn't reach " + label + " (no direct path, relay failed)") == 1;
  }));
  ASSERT_EQ(ice.Requests(), 2u);
  ASSERT_EQ(ice.requests[1].turnServers.size(), 1u);
  EXPECT_EQ(ice.requests[1].turnServers[0].username, "u");
}

// Stop returns promptly whatever the client is waiting for.
TEST_F(ConnectClientTest, StopReturnsWithinOneSecondInEveryPhase) {
  pairing.AddDevice(PhoneKey(1), "One");
  // A listener that never answers the upgrade request.
  SOCKET mute = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof a;
  ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(mute, 4), 0);
  getsockname(mute, reinterpret_cast<sockaddr*>(&a), &size);
  const std::string muteServer = std::format("ws://127.0.0.1:{}", ntohs(a.sin_port));

  struct Phase {
    const char* name;
    std::function<bool()> enter;
  };
  const std::vector<Phase> phases = {
      {"upgrade",
       [&] {
         client->Configure(true, muteServer);
         return WaitState(ConnectClient::State::Connecting) && (std::this_thread::sleep_for(300ms), true);
       }},
      {"sign-in",
       [&] {
         control.Call("mode silent");
         client->Configure(true, SimServer());
         return WaitUntil([&] { return control.Stats()["connections"] == 1; });
       }},
      {"online", [&] { return GoOnline(); }},
      {"back-off",
       [&] {
         client->Configure(true, std::format("ws://127.0.0.1:{}", ClosedPort()));
         return WaitState(ConnectClient::State::Failed);
       }},
      {"refused wait",
       [&] {
         control.Call("mode refuse");
         client->Configure(true, SimServer());
         return WaitState(ConnectClient::State::Failed);
       }},
      {"requests waiting for ICE",
       [&] {
         ice.connectAtOnce = false;
         if (!GoOnline()) return false;
         for (int i = 0; i < 4; ++i) control.Call("send " + ConnectText(std::format("w{}", i), PhoneKey(1)));
         return WaitUntil([&] { return control.Stats()["received"].size() == 4; });
       }},
      {"requests waiting for an answer",
       [&] {
         ice.answerBlocks = true;
         if (!GoOnline()) return false;
         for (int i = 0; i < 4; ++i) control.Call("send " + ConnectText(std::format("v{}", i), PhoneKey(1)));
         return WaitUntil([&] { return ice.Requests() == 4; }) && (std::this_thread::sleep_for(200ms), true);
       }},
  };
  for (const Phase& phase : phases) {
    ASSERT_EQ(control.Call("reset"), "ok");
    ice.connectAtOnce = true;
    ice.answerBlocks = false;
    ice.requests.clear();
    ConnectClient::Options s = Settings();
    s.backoff = {20000, 60000, 60000};
    MakeClient({}, s);
    ASSERT_TRUE(phase.enter()) << phase.name;
    const auto start = Clock::now();
    client->Configure(false, "");
    EXPECT_LT(Clock::now() - start, 1s) << phase.name;
    // The destructor after Stop, as the host does at exit.
    const auto destroyStart = Clock::now();
    client.reset();
    EXPECT_LT(Clock::now() - destroyStart, 1s) << phase.name;
  }
  closesocket(mute);
}

TEST_F(ConnectClientTest, RequestArrivingWhileStoppingIsRefusedAsDisabled) {
  pairing.AddDevice(PhoneKey(1), "One");
  // Turned off through Configure, and stopped by the destructor with the relay still on.
  for (const bool turnedOff : {true, false}) {
    SCOPED_TRACE(turnedOff ? "Configure off" : "destroyed");
    ASSERT_EQ(control.Call("reset"), "ok");
    ConnectClient::Options s = Settings();
    bool refusedInTime = false;
    s.onStopping = [&] {
      // The client is stopping but still connected: a paired phone's request now.
      if (control.Call("send " + ConnectText("late", PhoneKey(1))) != "sent") return;
      refusedInTime = WaitUntil([&] { return !control.Stats()["received"].empty(); });
    };
    MakeClient({}, s);
    ASSERT_TRUE(GoOnline());
    if (turnedOff) {
      client->Configure(false, "");
      EXPECT_EQ(client->GetStatus().state, ConnectClient::State::Off);
    } else {
      client.reset();
    }
    EXPECT_TRUE(refusedInTime);
    const std::vector<Json> sent = Received(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (Json{{"type", "reject"}, {"requestId", "late"}, {"reason", "disabled"}}));
    EXPECT_TRUE(peers.empty());
    client.reset();
  }
  EXPECT_NE(log.Text().find("WARN  tavro Connect: request from " + PublicKeyId(PhoneKey(1)).substr(0, 16) +
                            " refused (disabled)"),
            std::string::npos)
      << log.Text();
}

TEST_F(ConnectClientTest, ConcurrentConfigureNeverStartsTwoThreads) {
  MakeClient();
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) client->Configure((i + t) % 2 == 0, SimServer());
    });
  }
  for (std::thread& c : callers) c.join();
  client->Configure(true, SimServer());
  ASSERT_TRUE(WaitState(ConnectClient::State::Online));
  client->Configure(false, "");
  EXPECT_EQ(client->GetStatus().state, ConnectClient::State::Off);
}

// A session that ends during the hand-over while Stop runs: Stop must never reach the
// stream the session already freed.
TEST_F(ConnectClientTest, SessionEndingDuringHandOverWhileStopRunsIsSafe) {
  pairing.AddDevice(PhoneKey(1), "One");
  std::mt19937 random(12345);
  std::atomic<bool> entered{false};
  std::thread session;
  std::mutex sessionMutex;
  // A new client each round: twenty accepted requests a minute is the client's limit.
  const auto onStream =
      [&](std::unique_ptr<ByteStream> stream, const std::string&) {
        // The session often ends before the hand-over returns, so Stop meets both orders.
        const int endAfterUs = std::uniform_int_distribution<int>(0, 1000)(random);
        const int returnAfterUs = std::uniform_int_distribution<int>(0, 4000)(random);
        {
          std::lock_guard lock(sessionMutex);
          session = std::thread([owned = std::move(stream), endAfterUs]() mutable {
            std::this_thread::sleep_for(std::chrono::microseconds(endAfterUs));
            owned.reset();  // the session ended and was reaped
          });
        }
        entered = true;
        std::this_thread::sleep_for(std::chrono::microseconds(returnAfterUs));
        return true;
      };
  for (int round = 0; round < 200; ++round) {
    entered = false;
    MakeClient(onStream);
    ASSERT_TRUE(GoOnline()) << round;
    ASSERT_EQ(control.Call("send " + ConnectText(std::format("h{}", round), PhoneKey(1))), "sent");
    const auto until = Clock::now() + 5s;
    while (!entered && Clock::now() < until) std::this_thread::yield();
    ASSERT_TRUE(entered) << round;
    client->Configure(false, "");  // Stop at once, racing the session's end
    std::lock_guard lock(sessionMutex);
    if (session.joinable()) session.join();
  }
}

}  // namespace
}  // namespace kelm
