// The host service with its relay client signed in to the relay-server simulator: a
// paired device's request becomes a relay session (ICE replaced by loopback TCP).
#include <winsock2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <format>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "connect/base64url.h"
#include "connect/relay_messages.h"
#include "connect/websocket_client.h"
#include "core/host_service.h"
#include "connect_info_text.h"
#include "core/paths.h"
#include "fake_relay_ice.h"
#include "support/device_client.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using test::Bytes;
using test::ReadString16;
using test::WaitUntil;

std::string Port() {
  const char* port = std::getenv("TAVRO_RELAY_SIM_PORT");
  return port ? port : "1";
}

class RelayHostServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::getenv("TAVRO_RELAY_SIM_PORT"), nullptr) << "run through the CTest driver";
    SetProfileDir(profile.Path());
    std::string error;
    ASSERT_TRUE(host.Initialize(error)) << error;
    std::string address = "ws://127.0.0.1:" + Port() + "/control";
    ASSERT_TRUE(control.Connect(std::wstring(address.begin(), address.end()), 10000, error)) << error;
    ASSERT_EQ(Call("reset"), "ok");
    ConnectClient::Options s;
    s.defaultStun = "stun:127.0.0.1:3478";
    s.iceBindAddress = "127.0.0.1";
    s.backoff = {200, 60000, 60000};
    s.iceFactory = ice.Factory();
    host.SetConnectOptions(std::move(s));
    options.port = static_cast<uint16_t>(35000 + GetCurrentProcessId() % 2000);
    options.name = "Relay";
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
    options.connectEnabled = true;
    options.connectServer = "ws://127.0.0.1:" + Port();
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
  std::string ConnectText(const std::string& requestId, const std::array<uint8_t, 65>& key) {
    return Json{{"type", "connect"},
                {"requestId", requestId},
                {"phoneId", PublicKeyId(key)},
                {"offer", "v=0\r\na=ice-ufrag:phph\r\na=ice-pwd:phonephonephonephonephone\r\n"},
                {"phonePublicKey", Base64UrlEncode(key)}}
        .dump();
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  test::FakeIceControl ice;
  HostService host{SessionParts{}};
  HostOptions options;
  WebSocketClient control;
};

TEST_F(RelayHostServiceTest, PairedPhoneBecomesARelaySessionAndLearnsTheRelayDetails) {
  test::DeviceIdentity device;
  host.PairingStore().AddDevice(device.PublicKey(), "Relay tablet");
  const std::array<uint8_t, 65> other = [] {
    std::array<uint8_t, 65> k{};
    k[0] = 4;
    k[1] = 77;
    return k;
  }();
  host.PairingStore().AddDevice(other, "Other tablet");
  ASSERT_TRUE(host.Start(options));
  ASSERT_TRUE(WaitUntil([&] { return host.GetStatus().connect.state == ConnectClient::State::Online; }));
  ASSERT_TRUE(WaitUntil([&] { return Stats()["online"] == 1; }));
  EXPECT_EQ(host.GetStatus().connect.iceServers, std::vector<std::string>{"stun:127.0.0.1:3478"});

  ASSERT_EQ(Call("send " + ConnectText("q1", device.PublicKey())), "sent");
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(ice.mutex);
    return ice.deviceEnds.size() == 1;
  }));
  test::TestTcpStream* end = nullptr;
  {
    std::lock_guard lock(ice.mutex);
    end = ice.deviceEnds[0].get();
  }
  test::DeviceClient client(*end);
  const test::HandshakeOutcome outcome = client.Handshake(device, {});
  ASSERT_EQ(outcome.admissionResult, 0) << outcome.admissionMessage;
  ASSERT_TRUE(client.SendRecord(1, test::BuildHello({})));
  uint8_t type = 0;
  Bytes payload;
  ASSERT_TRUE(client.ReadRecord(type, payload));
  ASSERT_EQ(type, 2);
  // Records until the relay details arrive.
  bool got = false;
  for (int i = 0; i < 50 && !got; ++i) {
    ASSERT_TRUE(client.ReadRecord(type, payload));
    if (type != 33) continue;
    got = true;
    ASSERT_GE(payload.size(), 1u);
    EXPECT_EQ(payload[0], 1);
    size_t at = 1;
    EXPECT_EQ(ReadString16(payload, at), options.connectServer);
    EXPECT_EQ(ReadString16(payload, at), "stun:127.0.0.1:3478");
  }
  EXPECT_TRUE(got);

  const HostService::Status status = host.GetStatus();
  ASSERT_EQ(status.sessions.size(), 1u);
  EXPECT_TRUE(status.sessions[0].relay);
  EXPECT_FALSE(status.sessions[0].usb);
  const std::string label = PublicKeyId(device.PublicKey()).substr(0, 16);
  EXPECT_EQ(status.sessions[0].peer, "connect " + label + " 127.0.0.1 40001 (host)");
  const std::string text = log.Text();
  EXPECT_NE(text.find("INFO  tavro Connect: direct connection to " + label), std::string::npos);
  EXPECT_NE(text.find("connected via tavro Connect"), std::string::npos);

  // A device whose key the store does not know is refused by the handshake, however
  // it got past the relay.
  ASSERT_EQ(Call("send " + ConnectText("q2", device.PublicKey())), "sent");
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(ice.mutex);
    return ice.deviceEnds.size() == 2;
  }));
  {
    test::TestTcpStream* second = nullptr;
    {
      std::lock_guard lock(ice.mutex);
      second = ice.deviceEnds[1].get();
    }
    test::DeviceIdentity stranger;
    test::DeviceClient strangerClient(*second);
    const test::HandshakeOutcome refused = strangerClient.Handshake(stranger, {});
    EXPECT_EQ(refused.admissionResult, 10);
    EXPECT_EQ(refused.admissionMessage,
              "This device isn't paired with this PC. Pair it once over USB or the same Wi-Fi.");
    EXPECT_TRUE(WaitUntil([&] { return host.GetStatus().sessions.size() == 1; }));
  }

  // Removing the other device signs in again at once without it.
  const size_t hellos = Stats()["hellos"].size();
  std::string otherId;
  for (const PairedDevice& d : host.PairingStore().Devices()) {
    if (d.name == "Other tablet") otherId = d.id;
  }
  ASSERT_TRUE(host.RemovePairedDevice(otherId));
  ASSERT_TRUE(WaitUntil([&] { return Stats()["hellos"].size() == hellos + 1; }, 3s));
  EXPECT_EQ(Stats()["hellos"].back()["phones"], Json::array({PublicKeyId(device.PublicKey())}));

  // Stopping the host ends the relay session and the sign-in.
  const auto start = Clock::now();
  host.Stop();
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(host.GetStatus().connect.state, ConnectClient::State::Off);
  EXPECT_TRUE(host.GetStatus().sessions.empty());
}

TEST_F(RelayHostServiceTest, NinthRelaySessionFindsNoRoom) {
  std::vector<std::unique_ptr<test::DeviceIdentity>> devices;
  for (int i = 0; i < 9; ++i) {
    devices.push_back(std::make_unique<test::DeviceIdentity>());
    host.PairingStore().AddDevice(devices.back()->PublicKey(), std::format("Tablet {}", i));
  }
  ASSERT_TRUE(host.Start(options));
  ASSERT_TRUE(WaitUntil([&] { return host.GetStatus().connect.state == ConnectClient::State::Online; }));
  ASSERT_TRUE(WaitUntil([&] { return Stats()["online"] == 1; }));
  std::vector<std::unique_ptr<test::DeviceClient>> clients;
  for (size_t i = 0; i < 8; ++i) {
    ASSERT_EQ(Call("send " + ConnectText(std::format("n{}", i), devices[i]->PublicKey())), "sent");
    ASSERT_TRUE(WaitUntil([&] {
      std::lock_guard lock(ice.mutex);
      return ice.deviceEnds.size() == i + 1;
    }));
    test::TestTcpStream* end = nullptr;
    {
      std::lock_guard lock(ice.mutex);
      end = ice.deviceEnds[i].get();
    }
    clients.push_back(std::make_unique<test::DeviceClient>(*end));
    ASSERT_EQ(clients.back()->Handshake(*devices[i], {}).admissionResult, 0) << i;
    ASSERT_TRUE(clients.back()->SendRecord(1, test::BuildHello({})));
    uint8_t type = 0;
    Bytes payload;
    ASSERT_TRUE(clients.back()->ReadRecord(type, payload));
    ASSERT_EQ(type, 2) << i;
  }
  ASSERT_TRUE(WaitUntil([&] { return host.GetStatus().sessions.size() == 8; }));
  ASSERT_EQ(Call("send " + ConnectText("n8", devices[8]->PublicKey())), "sent");
  EXPECT_TRUE(WaitUntil([&] { return log.Text().find("WARN  tavro Connect: no room for another device") != std::string::npos; }));
  EXPECT_EQ(host.GetStatus().sessions.size(), 8u);
  test::TestTcpStream* ninth = nullptr;
  {
    std::lock_guard lock(ice.mutex);
    ASSERT_EQ(ice.deviceEnds.size(), 9u);
    ninth = ice.deviceEnds[8].get();
  }
  uint8_t byte = 0;
  EXPECT_FALSE(ninth->ReadExact(&byte, 1));  // closed by the host, nothing sent
}

}  // namespace
}  // namespace kelm
