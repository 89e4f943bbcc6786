// A paired phone reaches the host from outside: the host signs in to the relay simulator,
// answers the Go device peer's offer with a real ICE stream, and the device test client
// talks to the host through the peer's loopback TCP bridge.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "connect/base64url.h"
#include "connect/relay_messages.h"
#include "connect/websocket_client.h"
#include "core/host_service.h"
#include "core/paths.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using test::Bytes;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto until = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// The driver's work directory as Wine sees it.
std::filesystem::path WorkFile(const char* name) { return std::filesystem::path("Z:" + Env("TAVRO_RELAY_E2E_DIR")) / name; }

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ReadString16(const Bytes& b, size_t& at) {
  if (at + 2 > b.size()) return "(short)";
  const size_t n = b[at] | (b[at + 1] << 8);
  at += 2;
  if (at + n > b.size()) return "(short)";
  std::string s(b.begin() + static_cast<ptrdiff_t>(at), b.begin() + static_cast<ptrdiff_t>(at + n));
  at += n;
  return s;
}

class RelayEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("TAVRO_RELAY_E2E_DIR").empty()) << "run through relay_e2e.py";
    simPort = Env("TAVRO_RELAY_SIM_PORT");
    turnPort = Env("TAVRO_TURN_PORT");
    SetProfileDir(profile.Path());
    std::string error;
    ASSERT_TRUE(host.Initialize(error)) << error;
    const std::string address = "ws://127.0.0.1:" + simPort + "/control";
    ASSERT_TRUE(control.Connect(std::wstring(address.begin(), address.end()), 10000, error)) << error;
    ASSERT_EQ(Call("reset"), "ok");
    iceList = Json::array({"stun:127.0.0.1:" + turnPort, "turn:127.0.0.1:" + turnPort + "?transport=udp"});
    ASSERT_EQ(Call("ice " + iceList.dump()), "ok");
    ConnectClient::TestSettings s;
    s.defaultStun = "stun:127.0.0.1:" + turnPort;
    s.iceBindAddress = "127.0.0.1";
    host.SetConnectTestSettings(std::move(s));
    options.port = static_cast<uint16_t>(37000 + GetCurrentProcessId() % 2000);
    options.name = "Relay";
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
    options.connectEnabled = true;
    options.connectServer = "ws://127.0.0.1:" + simPort;
  }
  void TearDown() override {
    host.Shutdown();
    SetProfileDir(L"");
  }
  std::string Call(const std::string& command) {
    std::string reply;
    uint16_t code = 0;
    if (!control.Send(command) || !control.Receive(reply, code, 1 << 20)) return "(no reply)";
    return reply;
  }
  Json Stats() { return Json::parse(Call("stats"), nullptr, false); }
  // The answer the host sent for `requestId`, or an empty text.
  std::string AnswerFor(const std::string& requestId) {
    const Json stats = Stats();
    if (!stats.is_object()) return {};
    for (const auto& text : stats["received"]) {
      const Json message = Json::parse(text.get<std::string>(), nullptr, false);
      if (message.is_object() && message.value("type", "") == "answer" && message.value("requestId", "") == requestId)
        return message.value("answer", "");
    }
    return {};
  }

  std::string simPort, turnPort;
  Json iceList;
  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  HostService host{SessionParts{}};
  HostOptions options;
  WebSocketClient control;

  // Signs in, sends the Go peer's offer as a paired phone's request, hands the answer
  // back, and connects the device client through the peer's bridge: admitted, Hello and
  // Welcome, the relay details, then pings for a while.
  void Reach(test::DeviceIdentity& device) {
    host.PairingStore().AddDevice(device.PublicKey(), "Far tablet");
    ASSERT_TRUE(host.Start(options));
    ASSERT_TRUE(WaitUntil([&] { return host.GetStatus().connect.state == ConnectClient::kStateOnline; }));
    ASSERT_TRUE(WaitUntil([&] { return Stats()["online"] == 1; }));

    const std::string offer = ReadWhole(WorkFile("offer.txt"));
    ASSERT_NE(offer.find("a=ice-ufrag:"), std::string::npos) << offer;
    const Json request = {
        {"type", "connect"},
        {"requestId", "e2e-1"},
        {"phoneId", PublicKeyId(device.PublicKey())},
        {"offer", offer},
        {"phonePublicKey", Base64UrlEncode(device.PublicKey())},
        {"turnServers",
         Json::array({{{"urls", Json::array({"turn:127.0.0.1:" + turnPort + "?transport=udp"})},
                       {"username", "alice"},
                       {"credential", "secret-pw"}}})}};
    ASSERT_EQ(Call("send " + request.dump()), "sent");
    std::string answer;
    ASSERT_TRUE(WaitUntil([&] { return !(answer = AnswerFor("e2e-1")).empty(); }, 15s)) << log.Text();
    {
      std::ofstream out(WorkFile("answer.part"), std::ios::binary);
      out << answer;
    }
    std::filesystem::rename(WorkFile("answer.part"), WorkFile("answer.txt"));

    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(WorkFile("bridge.txt")); }, 30s)) << log.Text();
    const int bridgePort = std::stoi(ReadWhole(WorkFile("bridge.txt")));
    bridge = test::ConnectTcp("127.0.0.1", static_cast<uint16_t>(bridgePort));
    ASSERT_TRUE(bridge);
    client = std::make_unique<test::DeviceClient>(*bridge);
    const test::HandshakeOutcome outcome = client->Handshake(device, {});
    ASSERT_EQ(outcome.admissionResult, 0) << outcome.admissionMessage;
    ASSERT_TRUE(client->SendRecord(1, test::BuildHello({})));
    uint8_t type = 0;
    Bytes payload;
    ASSERT_TRUE(client->ReadRecord(type, payload));
    ASSERT_EQ(type, 2);  // Welcome
    bool gotInfo = false;
    for (int i = 0; i < 50 && !gotInfo; ++i) {
      ASSERT_TRUE(client->ReadRecord(type, payload));
      if (type != 33) continue;
      gotInfo = true;
      ASSERT_GE(payload.size(), 1u);
      EXPECT_EQ(payload[0], 1);  // relay on
      size_t at = 1;
      EXPECT_EQ(ReadString16(payload, at), options.connectServer);
      EXPECT_EQ(ReadString16(payload, at),
                "stun:127.0.0.1:" + turnPort + ",turn:127.0.0.1:" + turnPort + "?transport=udp");
    }
    EXPECT_TRUE(gotInfo);

    // Pings for a while, each answered with its own stamp.
    const auto pingUntil = Clock::now() + 10s;
    for (uint8_t n = 1; Clock::now() < pingUntil; ++n) {
      ASSERT_TRUE(client->SendRecord(30, {n, 0, 0, 0, 0, 0, 0, 0x40}));
      bool answered = false;
      while (!answered && client->ReadRecord(type, payload)) {
        answered = type == 31 && payload.size() == 16 && payload[0] == n;
      }
      ASSERT_TRUE(answered) << static_cast<int>(n);
      std::this_thread::sleep_for(250ms);
    }

    const HostService::Status status = host.GetStatus();
    ASSERT_EQ(status.sessions.size(), 1u);
    EXPECT_TRUE(status.sessions[0].relay);
    EXPECT_EQ(status.connect.state, ConnectClient::kStateOnline);
    label = PublicKeyId(device.PublicKey()).substr(0, 16);
    peer = status.sessions[0].peer;
    EXPECT_NE(log.Text().find("connected via tavro Connect"), std::string::npos) << log.Text();
  }

  std::unique_ptr<test::TestTcpStream> bridge;
  std::unique_ptr<test::DeviceClient> client;
  std::string label, peer;
};

TEST_F(RelayEndToEndTest, PairedPhoneConnectsDirectlyAndSaysBye) {
  test::DeviceIdentity device;
  ASSERT_NO_FATAL_FAILURE(Reach(device));
  EXPECT_EQ(peer.rfind("connect " + label + " 127.0.0.1 ", 0), 0u) << peer;
  EXPECT_NE(peer.find(" (host)"), std::string::npos) << peer;
  EXPECT_NE(log.Text().find("INFO  tavro Connect: direct connection to " + label), std::string::npos) << log.Text();

  ASSERT_TRUE(client->SendRecord(40, {}));  // Bye
  EXPECT_TRUE(WaitUntil([&] { return host.GetStatus().sessions.empty(); }));
  const auto start = Clock::now();
  host.Stop();
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(RelayEndToEndTest, StoppingTheHostClosesTheRelaySessionAtThePhone) {
  test::DeviceIdentity device;
  ASSERT_NO_FATAL_FAILURE(Reach(device));
  const auto start = Clock::now();
  host.Stop();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_TRUE(host.GetStatus().sessions.empty());
  // The bridge ends its TCP side only when the close marker arrived.
  uint8_t type = 0;
  Bytes payload;
  while (client->ReadRecord(type, payload)) {
  }
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(RelayEndToEndTest, PathOnlyThroughTurnIsARelayedConnection) {
  ConnectClient::TestSettings s;
  s.defaultStun = "stun:127.0.0.1:" + turnPort;
  s.iceBindAddress = "127.0.0.1";
  s.iceRelayOnly = true;
  host.SetConnectTestSettings(std::move(s));
  test::DeviceIdentity device;
  ASSERT_NO_FATAL_FAILURE(Reach(device));
  EXPECT_NE(log.Text().find("INFO  tavro Connect: relayed connection to " + label), std::string::npos) << log.Text();
  ASSERT_TRUE(client->SendRecord(40, {}));
  EXPECT_TRUE(WaitUntil([&] { return host.GetStatus().sessions.empty(); }));
}

}  // namespace
}  // namespace kelm
