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
#include <vector>

#include "connect/base64url.h"
#include "connect/relay_messages.h"
#include "connect/websocket_client.h"
#include "connect_info_text.h"
#include "core/console_host.h"
#include "core/host_service.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "core/win_handle.h"
#include "support/child_process.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"
#include "support/wait_until.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using test::Bytes;
using test::ReadString16;
using test::WaitUntil;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The driver's work directory as Wine sees it.
std::filesystem::path WorkFile(const char* name) { return std::filesystem::path("Z:" + Env("TAVRO_RELAY_E2E_DIR")) / name; }

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
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
    ConnectClient::Options s;
    s.defaultStun = "stun:127.0.0.1:" + turnPort;
    s.iceBindAddress = "127.0.0.1";
    host.SetConnectOptions(std::move(s));
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

  // Pairs the devices and waits until the host is signed in to the simulator.
  void SignIn(const std::vector<const test::DeviceIdentity*>& paired) {
    for (const test::DeviceIdentity* d : paired) host.PairingStore().AddDevice(d->PublicKey(), "Far tablet");
    ASSERT_TRUE(host.Start(options));
    ASSERT_TRUE(WaitUntil([&] { return host.GetStatus().connect.state == ConnectClient::State::Online; }));
    ASSERT_TRUE(WaitUntil([&] { return Stats()["online"] == 1; }));
  }

  // Sends the Go peer's offer as the phone `phoneKey`'s request and hands the host's
  // answer back to the peer.
  void Offer(const std::array<uint8_t, 65>& phoneKey, const std::string& requestId) {
    const std::string offer = ReadWhole(WorkFile("offer.txt"));
    ASSERT_NE(offer.find("a=ice-ufrag:"), std::string::npos) << offer;
    const Json request = {
        {"type", "connect"},
        {"requestId", requestId},
        {"phoneId", PublicKeyId(phoneKey)},
        {"offer", offer},
        {"phonePublicKey", Base64UrlEncode(phoneKey)},
        {"turnServers",
         Json::array({{{"urls", Json::array({"turn:127.0.0.1:" + turnPort + "?transport=udp"})},
                       {"username", "alice"},
                       {"credential", "secret-pw"}}})}};
    ASSERT_EQ(Call("send " + request.dump()), "sent");
    std::string answer;
    ASSERT_TRUE(WaitUntil([&] { return !(answer = AnswerFor(requestId)).empty(); }, 15s)) << Logs();
    {
      std::ofstream out(WorkFile("answer.part"), std::ios::binary);
      out << answer;
    }
    std::filesystem::rename(WorkFile("answer.part"), WorkFile("answer.txt"));
  }

  // Connects the device client through the peer's bridge.
  void OpenBridge() {
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(WorkFile("bridge.txt")); }, 30s)) << Logs();
    const int bridgePort = std::stoi(ReadWhole(WorkFile("bridge.txt")));
    bridge = test::ConnectTcp("127.0.0.1", static_cast<uint16_t>(bridgePort));
    ASSERT_TRUE(bridge);
    client = std::make_unique<test::DeviceClient>(*bridge);
  }

  // Admitted, Hello and Welcome, the relay details, then pings for a while.
  void RunSession(test::DeviceIdentity& device) {
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
  }

  // The whole way in for one paired phone, checked against the host's status.
  void Reach(test::DeviceIdentity& device) {
    ASSERT_NO_FATAL_FAILURE(SignIn({&device}));
    ASSERT_NO_FATAL_FAILURE(Offer(device.PublicKey(), "e2e-1"));
    ASSERT_NO_FATAL_FAILURE(OpenBridge());
    ASSERT_NO_FATAL_FAILURE(RunSession(device));
    const HostService::Status status = host.GetStatus();
    ASSERT_EQ(status.sessions.size(), 1u);
    EXPECT_TRUE(status.sessions[0].relay);
    EXPECT_EQ(status.connect.state, ConnectClient::State::Online);
    label = PublicKeyId(device.PublicKey()).substr(0, 16);
    peer = status.sessions[0].peer;
    EXPECT_NE(log.Text().find("connected via tavro Connect"), std::string::npos) << log.Text();
  }

  // Reads until the host ends the stream; false when it is still open after `limit`.
  bool StreamEnds(std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    uint8_t type = 0;
    Bytes payload;
    while (client->ReadRecord(type, payload)) {
      if (Clock::now() > until) return false;
    }
    return Clock::now() <= until;
  }

  virtual std::string Logs() { return log.Text(); }

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
  EXPECT_TRUE(StreamEnds(std::chrono::duration_cast<std::chrono::milliseconds>(5s - (Clock::now() - start))));
}

TEST_F(RelayEndToEndTest, PathOnlyThroughTurnIsARelayedConnection) {
  ConnectClient::Options s;
  s.defaultStun = "stun:127.0.0.1:" + turnPort;
  s.iceBindAddress = "127.0.0.1";
  s.iceRelayOnly = true;
  host.SetConnectOptions(std::move(s));
  test::DeviceIdentity device;
  ASSERT_NO_FATAL_FAILURE(Reach(device));
  EXPECT_NE(log.Text().find("INFO  tavro Connect: relayed connection to " + label), std::string::npos) << log.Text();
  ASSERT_TRUE(client->SendRecord(40, {}));
  EXPECT_TRUE(WaitUntil([&] { return host.GetStatus().sessions.empty(); }));
}

TEST_F(RelayEndToEndTest, RelayOnlyDeviceGetsARelayedConnection) {
  // The phone offers only its candidate on the TURN server; the host is not limited to TURN.
  ASSERT_EQ(Env("TAVRO_RELAY_E2E_DEVICE_RELAY_ONLY"), "1") << "run through relay_e2e.py --device-relay-only";
  const std::string offer = ReadWhole(WorkFile("offer.txt"));
  EXPECT_NE(offer.find(" typ relay"), std::string::npos) << offer;
  EXPECT_EQ(offer.find(" typ host"), std::string::npos) << offer;
  test::DeviceIdentity device;
  ASSERT_NO_FATAL_FAILURE(Reach(device));
  EXPECT_NE(log.Text().find("INFO  tavro Connect: relayed connection to " + label), std::string::npos) << log.Text();
  EXPECT_NE(peer.find(" (relay)"), std::string::npos) << peer;
  ASSERT_TRUE(client->SendRecord(40, {}));
  EXPECT_TRUE(WaitUntil([&] { return host.GetStatus().sessions.empty(); }));
}

TEST_F(RelayEndToEndTest, KeyUnknownToTheStoreIsToldToPairFirst) {
  // The relay admits the request for a paired phone id; the key the device then
  // proves is a different one.
  test::DeviceIdentity paired, stranger;
  ASSERT_NO_FATAL_FAILURE(SignIn({&paired}));
  ASSERT_NO_FATAL_FAILURE(Offer(paired.PublicKey(), "e2e-stranger"));
  ASSERT_NO_FATAL_FAILURE(OpenBridge());
  const test::HandshakeOutcome outcome = client->Handshake(stranger, {});
  ASSERT_TRUE(outcome.admissionReceived) << log.Text();
  EXPECT_EQ(outcome.admissionResult, 10);
  EXPECT_EQ(outcome.admissionMessage,
            "This device isn't paired with this PC. Pair it once over USB or the same Wi-Fi.");
  EXPECT_TRUE(StreamEnds(10s));
  EXPECT_TRUE(WaitUntil([&] { return host.GetStatus().sessions.empty(); }));
  EXPECT_FALSE(host.PairingStore().IsPaired(stranger.PublicKey()));
}

TEST_F(RelayEndToEndTest, NinthDeviceFindsNoRoom) {
  // Eight devices hold sessions over the local network; the ninth comes through the relay.
  std::vector<test::DeviceIdentity> devices(9);
  std::vector<const test::DeviceIdentity*> paired;
  for (const test::DeviceIdentity& d : devices) paired.push_back(&d);
  ASSERT_NO_FATAL_FAILURE(SignIn(paired));
  std::vector<std::unique_ptr<test::TestTcpStream>> streams;
  std::vector<std::unique_ptr<test::DeviceClient>> clients;
  for (size_t i = 0; i < 8; ++i) {
    streams.push_back(test::ConnectTcp("127.0.0.1", options.port));
    ASSERT_TRUE(streams.back());
    clients.push_back(std::make_unique<test::DeviceClient>(*streams.back()));
    const test::HandshakeOutcome outcome = clients.back()->Handshake(devices[i], {});
    ASSERT_EQ(outcome.admissionResult, 0) << i << " " << outcome.admissionMessage;
    ASSERT_TRUE(clients.back()->SendRecord(1, test::BuildHello({})));
    uint8_t type = 0;
    Bytes payload;
    ASSERT_TRUE(clients.back()->ReadRecord(type, payload));
    ASSERT_EQ(type, 2) << i;  // Welcome
  }
  ASSERT_EQ(host.GetStatus().sessions.size(), 8u);

  ASSERT_NO_FATAL_FAILURE(Offer(devices[8].PublicKey(), "e2e-ninth"));
  EXPECT_TRUE(WaitUntil([&] { return log.Text().find("WARN  tavro Connect: no room for another device") !=
                                     std::string::npos; },
                        30s))
      << log.Text();
  EXPECT_NE(log.Text().find("Rejecting connection from connect " + PublicKeyId(devices[8].PublicKey()).substr(0, 16)),
            std::string::npos)
      << log.Text();
  // The eight keep their sessions.
  const HostService::Status status = host.GetStatus();
  EXPECT_EQ(status.sessions.size(), 8u);
  for (const auto& s : status.sessions) EXPECT_FALSE(s.relay);
  for (size_t i = 0; i < 8; ++i) {
    ASSERT_TRUE(clients[i]->SendRecord(30, {static_cast<uint8_t>(i), 0, 0, 0, 0, 0, 0, 0x40}));
    uint8_t type = 0;
    Bytes payload;
    bool answered = false;
    while (!answered && clients[i]->ReadRecord(type, payload)) answered = type == 31 && payload[0] == i;
    EXPECT_TRUE(answered) << i;
  }
}

// The host as its own tavro.exe --console process, signed in to the simulator with the
// user's own switch, ICE on every local address as users run it.
class RelayHostProcessTest : public RelayEndToEndTest {
 protected:
  void StartHostProcess(const test::DeviceIdentity& device) {
    // The paired-devices list the process reads, written through the store itself.
    const std::wstring dir = profile.File(L"process");
    SetProfileDir(dir);
    {
      Pairing store;
      ASSERT_TRUE(store.Load());
      store.AddDevice(device.PublicKey(), "Far tablet");
    }
    SetProfileDir(profile.Path());
    const std::wstring line = L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --console --profile \"" + dir +
                              L"\" --no-adb --no-driver --no-discovery --port " + std::to_wstring(options.port) +
                              L" --connect-server ws://127.0.0.1:" + std::wstring(simPort.begin(), simPort.end());
    ASSERT_TRUE(process.Start(line, profile.File(L"process.txt")));
    ASSERT_TRUE(process.WaitForOutput("tavro Connect: online (1 paired phone)")) << process.Output();
    ASSERT_TRUE(WaitUntil([&] { return Stats()["online"] == 1; }));
  }
  std::string Logs() override { return process.Output(); }

  test::ChildProcess process;
};

TEST_F(RelayHostProcessTest, StoppingTheProcessClosesTheRelaySessionWithinFiveSeconds) {
  test::DeviceIdentity device;
  ASSERT_NO_FATAL_FAILURE(StartHostProcess(device));
  ASSERT_NO_FATAL_FAILURE(Offer(device.PublicKey(), "e2e-process"));
  ASSERT_NO_FATAL_FAILURE(OpenBridge());
  ASSERT_NO_FATAL_FAILURE(RunSession(device));
  ASSERT_TRUE(process.WaitForOutput("connected via tavro Connect")) << process.Output();

  const auto start = Clock::now();
  const WinHandle stop(OpenEventW(EVENT_MODIFY_STATE, FALSE, ConsoleStopEventName(process.Id()).c_str()));
  ASSERT_TRUE(stop.Get() != nullptr);
  SetEvent(stop.Get());
  // The bridge ends its TCP side only when the close marker arrived.
  EXPECT_TRUE(StreamEnds(5s));
  uint32_t code = 0xFFFF;
  ASSERT_TRUE(process.Wait(static_cast<uint32_t>(std::max<int64_t>(
                               0, std::chrono::duration_cast<std::chrono::milliseconds>(5s - (Clock::now() - start)).count())),
                           code))
      << process.Output();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(code, 0u);
  const std::string out = process.Output();
  EXPECT_NE(out.find("Host stopped"), std::string::npos) << out;
}

}  // namespace
}  // namespace kelm
