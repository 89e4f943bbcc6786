// WebSocket client against the relay-server simulator on 127.0.0.1 (started by the
// CTest driver, which passes its port in TAVRO_RELAY_SIM_PORT).
#include "connect/websocket_client.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <format>
#include <future>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "connect/relay_messages.h"
#include "core/host_identity.h"
#include "core/paths.h"
#include "core/text.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kMax = 65536;
constexpr int32_t kTimeoutMs = 10000;

std::wstring SimAddress(const std::string& path, const std::string& scheme = "ws") {
  const char* port = std::getenv("TAVRO_RELAY_SIM_PORT");
  return std::wstring(scheme.begin(), scheme.end()) + L"://127.0.0.1:" +
         std::wstring(port ? port : "1", port ? port + strlen(port) : nullptr) +
         std::wstring(path.begin(), path.end());
}

class WebSocketClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(std::getenv("TAVRO_RELAY_SIM_PORT"), nullptr) << "run through the CTest driver"; }

  std::shared_ptr<WebSocketClient> Open(const std::string& path, int32_t timeoutMs = kTimeoutMs) {
    auto client = std::make_shared<WebSocketClient>();
    std::string error;
    EXPECT_TRUE(client->Connect(SimAddress(path), timeoutMs, error)) << error;
    return client;
  }

  static std::string Next(WebSocketClient& client, size_t max = kMax) {
    std::string message;
    uint16_t code = 0;
    EXPECT_TRUE(client.Receive(message, code, max));
    return message;
  }

  static std::string ConnectError(const std::wstring& address) {
    WebSocketClient client;
    std::string error;
    EXPECT_FALSE(client.Connect(address, kTimeoutMs, error));
    return error;
  }
};

// Every client state is freed once WinHTTP has reported all its handles closed.
void ExpectStatesFreed() {
  const auto until = Clock::now() + 5s;
  while (WebSocketClient::LiveStates() != 0 && Clock::now() < until) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(WebSocketClient::LiveStates(), 0u);
}

std::string Letters(size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text.push_back(static_cast<char>('A' + i % 26));
  return text;
}

std::string Filler(int thread, int seq) {
  const int length = (thread * 1000 + seq) % 3000 + 1;
  std::string text;
  for (int k = 0; k < length; ++k) text.push_back(static_cast<char>('a' + (thread * 7 + seq * 13 + k) % 26));
  return text;
}

std::string Numbered(int thread, int seq) { return std::format("m {} {} {}", thread, seq, Filler(thread, seq)); }

TEST_F(WebSocketClientTest, TextEcho) {
  auto client = Open("/echo");
  for (const std::string& text : {std::string("hello \xc3\xa9\xe2\x82\xac"), std::string(), Letters(70000)}) {
    ASSERT_TRUE(client->Send(text));
    EXPECT_EQ(Next(*client, 100000), text);
  }
}

TEST_F(WebSocketClientTest, ConnectsOnlyOnce) {
  auto client = Open("/echo");
  std::string error;
  EXPECT_FALSE(client->Connect(SimAddress("/echo"), kTimeoutMs, error));
  EXPECT_EQ(error, "connecting failed (12019)");
  ASSERT_TRUE(client->Send("still here"));
  EXPECT_EQ(Next(*client), "still here");
}

TEST_F(WebSocketClientTest, FragmentedMessageArrivesWhole) {
  auto client = Open("/echo");
  ASSERT_TRUE(client->Send("fragments:5:40000"));
  EXPECT_EQ(Next(*client), Letters(40000));
  ASSERT_TRUE(client->Send("fragments:3:10"));
  EXPECT_EQ(Next(*client), Letters(10));
}

TEST_F(WebSocketClientTest, BinaryMessagesBetweenTextsAreSkipped) {
  auto client = Open("/echo");
  ASSERT_TRUE(client->Send("mixed"));
  EXPECT_EQ(Next(*client), "one");
  EXPECT_EQ(Next(*client), "two");
}

TEST_F(WebSocketClientTest, MessageSizeLimit) {
  auto client = Open("/echo");
  ASSERT_TRUE(client->Send("size:1000"));
  EXPECT_EQ(Next(*client, 1000), std::string(1000, 'x'));
  ASSERT_TRUE(client->Send("size:40000"));
  EXPECT_EQ(Next(*client, 40000).size(), 40000u);

  for (const size_t size : {1000u, 40000u}) {
    auto over = Open("/echo");
    ASSERT_TRUE(over->Send(std::format("size:{}", size)));
    ASSERT_TRUE(over->Send("after"));
    std::string message;
    uint16_t code = 7;
    EXPECT_FALSE(over->Receive(message, code, size - 1)) << size;
    EXPECT_EQ(code, 0);
    // The rest of the abandoned message must not pass for a new one.
    EXPECT_FALSE(over->Receive(message, code, kMax)) << size;
  }
}

TEST_F(WebSocketClientTest, ServerCloseGivesItsCode) {
  auto client = Open("/echo");
  ASSERT_TRUE(client->Send("close:4001"));
  std::string message;
  uint16_t code = 0;
  EXPECT_FALSE(client->Receive(message, code, kMax));
  EXPECT_EQ(code, 4001);
  EXPECT_FALSE(client->Receive(message, code, kMax));
}

TEST_F(WebSocketClientTest, ConnectErrors) {
  EXPECT_EQ(ConnectError(SimAddress("/http200")), "the server answered HTTP 200");

  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof addr;
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  closesocket(s);
  WSACleanup();
  EXPECT_EQ(ConnectError(std::format(L"ws://127.0.0.1:{}/echo", ntohs(addr.sin_port))), "can't reach the server");

  for (const std::wstring& address : {std::wstring(L"ftp://127.0.0.1/x"), SimAddress("/echo", "WS"),
                                     SimAddress("/echo", "Ws"), std::wstring(), std::wstring(L"ws//127.0.0.1/"),
                                     std::wstring(L"127.0.0.1:80"), std::wstring(L"ws://"), std::wstring(L"wss:/x")}) {
    EXPECT_EQ(ConnectError(address), "invalid server address");
  }
  EXPECT_EQ(FailedText("WinHttpConnect", 12029), "WinHttpConnect failed (12029)");
}

TEST_F(WebSocketClientTest, HttpSchemeWorksAsWell) {
  auto client = std::make_shared<WebSocketClient>();
  std::string error;
  ASSERT_TRUE(client->Connect(SimAddress("/echo", "http"), kTimeoutMs, error)) << error;
  ASSERT_TRUE(client->Send("x"));
  EXPECT_EQ(Next(*client), "x");
}

// The simulator speaks plain HTTP: a secure address must fail in the TLS handshake,
// which only happens when the request really goes out over HTTPS.
TEST_F(WebSocketClientTest, SecureSchemesUseTls) {
  for (const std::string scheme : {"wss", "https"}) {
    const std::string error = ConnectError(SimAddress("/echo", scheme));
    EXPECT_TRUE(error.starts_with("connecting failed (")) << scheme << ": " << error;
  }
}

TEST_F(WebSocketClientTest, ServerSeesThePathAndQuery) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/v1/pcs/0123abc/wait", "/v1/pcs/0123abc/wait"},
      {"/a/b?c=d&e=%20f", "/a/b?c=d&e=%20f"},
      {"/q?x=1#fragment", "/q?x=1"},
      {"", "/"},
      {"/", "/"},
  };
  for (const auto& [given, seen] : cases) {
    auto client = Open(given);
    ASSERT_TRUE(client->Send("path"));
    EXPECT_EQ(Next(*client), seen) << given;
  }
}

TEST_F(WebSocketClientTest, CloseEndsABlockedReceive) {
  {
    auto client = Open("/silent", 0);
    std::atomic<int64_t> returnedAt{0};
    std::string message = "old";
    uint16_t code = 9;
    std::thread receiver([&] {
      EXPECT_FALSE(client->Receive(message, code, kMax));
      returnedAt = Clock::now().time_since_epoch().count();
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(returnedAt.load(), 0);
    const auto closedAt = Clock::now();
    client->Close();
    receiver.join();
    EXPECT_LT(Clock::time_point(Clock::duration(returnedAt.load())) - closedAt, 500ms);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(message.empty());
    client->Close();  // a second Close does nothing
    EXPECT_FALSE(client->Send("late"));
    EXPECT_FALSE(client->Receive(message, code, kMax));
  }
  ExpectStatesFreed();
}

// Closing frees handle values that the next client may get again: a receive that
// races Close must never reach the new client's connection.
TEST_F(WebSocketClientTest, ReceiveRacingCloseLeavesTheNextClientAlone) {
  std::mt19937 rng(7);
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    auto first = Open("/silent", 0);
    std::atomic<int> receives{0};
    std::thread receiver([&] {
      std::string message;
      uint16_t code = 0;
      while (first->Receive(message, code, kMax)) ++receives;
      // Calls after the close keep failing instead of reaching another connection.
      for (int i = 0; i < 20; ++i) EXPECT_FALSE(first->Receive(message, code, kMax));
    });
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    first->Close();
    auto second = Open("/echo");
    const std::string text = "round " + std::to_string(round);
    ASSERT_TRUE(second->Send(text));
    EXPECT_EQ(Next(*second), text);
    receiver.join();
    EXPECT_EQ(receives.load(), 0);
  }
  ExpectStatesFreed();
}

// The silent server reads nothing, so large sends soon wait on a full connection.
TEST_F(WebSocketClientTest, CloseEndsABlockedSend) {
  {
    auto client = Open("/silent");
    const std::string chunk(1 << 20, 's');
    std::atomic<int> completed{0};
    std::atomic<int64_t> returnedAt{0};
    std::thread sender([&] {
      while (client->Send(chunk)) ++completed;
      returnedAt = Clock::now().time_since_epoch().count();
    });
    // Wait until sending has made no progress for 300 ms.
    int seen = -1;
    auto lastProgress = Clock::now();
    while (Clock::now() - lastProgress < 300ms && returnedAt.load() == 0) {
      std::this_thread::sleep_for(20ms);
      if (completed.load() != seen) {
        seen = completed.load();
        lastProgress = Clock::now();
      }
    }
    ASSERT_EQ(returnedAt.load(), 0) << "a send failed before the connection filled up";
    const auto closedAt = Clock::now();
    client->Close();
    sender.join();
    EXPECT_LT(Clock::time_point(Clock::duration(returnedAt.load())) - closedAt, 500ms);
    EXPECT_GT(completed.load(), 0);
    EXPECT_FALSE(client->Send("x"));
  }
  // Closing need not abort a send already on the wire (Wine's does not: it ends at
  // WinHTTP's send time-out). Once the server drops the connection the send fails and
  // the handles finish closing.
  auto other = Open("/echo");
  ASSERT_TRUE(other->Send("drop-silent"));
  // Earlier silent clients may not have been noticed as gone yet: at least ours.
  int dropped = 0;
  EXPECT_EQ(sscanf(Next(*other).c_str(), "dropped %d", &dropped), 1);
  EXPECT_GE(dropped, 1);
  other.reset();
  ExpectStatesFreed();
}

TEST_F(WebSocketClientTest, ReceiveTimeOut) {
  auto client = Open("/silent", 500);
  std::string message;
  uint16_t code = 0;
  const auto start = Clock::now();
  EXPECT_FALSE(client->Receive(message, code, kMax));
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 500ms);
  EXPECT_LE(took, 1500ms);
  EXPECT_FALSE(client->Receive(message, code, kMax));
}

TEST_F(WebSocketClientTest, CloseDuringTheUpgrade) {
  {
    auto client = std::make_shared<WebSocketClient>();
    const auto start = Clock::now();
    auto connect = std::async(std::launch::async, [&] {
      std::string error;
      const bool ok = client->Connect(SimAddress("/slow"), kTimeoutMs, error);
      return std::make_pair(ok, error);
    });
    std::this_thread::sleep_for(300ms);
    client->Close();
    const auto [ok, error] = connect.get();
    EXPECT_FALSE(ok);
    EXPECT_FALSE(error.empty());
    EXPECT_LT(Clock::now() - start, 2500ms);
    EXPECT_FALSE(client->Send("x"));
  }
  // The upgrade answer arrives after 2 s; the state must outlive it.
  std::this_thread::sleep_for(2500ms);
  ExpectStatesFreed();
}

// Four threads send 1000 numbered messages each while one receives the echoes; with
// `closeAfter` set, a fifth thread closes once that many echoes have arrived.
void RunConcurrent(WebSocketClient& client, int closeAfter) {
  std::atomic<int> echoes{0};
  std::atomic<int> damaged{0};
  std::atomic<bool> receiverDone{false};
  std::string report;
  std::thread receiver([&] {
    std::string message;
    uint16_t code = 0;
    while (client.Receive(message, code, kMax)) {
      if (message.starts_with("report")) {
        report = message;
        break;
      }
      int thread = -1;
      int seq = -1;
      if (sscanf(message.c_str(), "m %d %d", &thread, &seq) != 2 || message != Numbered(thread, seq)) ++damaged;
      ++echoes;
    }
    receiverDone = true;
  });
  std::atomic<int> sent{0};
  std::atomic<bool> closed{false};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      bool failed = false;
      for (int i = 0; i < 1000; ++i) {
        const bool afterClose = closed.load();
        const bool ok = client.Send(Numbered(t, i));
        // A send begun after Close returned never goes out.
        if (afterClose) {
          EXPECT_FALSE(ok);
        }
        // Once a send fails (closed), every later one fails too.
        if (failed) {
          EXPECT_FALSE(ok);
        }
        failed = failed || !ok;
        if (ok) ++sent;
      }
    });
  }
  std::thread closer;
  if (closeAfter > 0) {
    closer = std::thread([&] {
      while (echoes < closeAfter && !receiverDone) std::this_thread::sleep_for(1ms);
      client.Close();
      closed = true;
    });
  }
  for (auto& s : senders) s.join();
  if (closeAfter > 0) {
    closer.join();
    receiver.join();
    // The senders may all have finished before the echoes reached the mark on a busy
    // machine; what follows the close is refused either way.
    EXPECT_FALSE(client.Send("report"));
  } else {
    EXPECT_EQ(sent.load(), 4000);
    EXPECT_TRUE(client.Send("report"));
    receiver.join();
    EXPECT_EQ(echoes.load(), 4000);
    EXPECT_EQ(report, "report 4000 0");
  }
  EXPECT_EQ(damaged.load(), 0);
}

TEST_F(WebSocketClientTest, FourSendersAndOneReceiver) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    auto client = Open("/echo");
    RunConcurrent(*client, 0);
  }
  ExpectStatesFreed();
}

TEST_F(WebSocketClientTest, CloseFromAFifthThreadMidway) {
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    auto client = Open("/echo");
    RunConcurrent(*client, 200 + round * 50);
  }
  ExpectStatesFreed();
}

// Signs in to the simulator as the relay client does; the simulator checks the
// signature with the PC's public key and refuses a hello whose phone list differs
// from the signed one.
class SignInTest : public WebSocketClientTest {
 protected:
  void SetUp() override {
    WebSocketClientTest::SetUp();
    SetProfileDir(dir_.Path());
    ASSERT_TRUE(identity_.Open());
    pcId_ = PublicKeyId(identity_.PublicKey());
  }
  void TearDown() override { SetProfileDir(L""); }

  // Sends a hello signed over `signedPhones` carrying `sentPhones`; returns the reply.
  std::pair<std::optional<RelayMessage>, uint16_t> SignIn(const std::vector<std::string>& signedPhones,
                                                          const std::vector<std::string>& sentPhones) {
    auto client = Open("/v1/pcs/" + pcId_ + "/wait");
    const auto challenge = ParseRelayMessage(Next(*client));
    EXPECT_TRUE(challenge && std::holds_alternative<RelayChallenge>(*challenge));
    if (!challenge || !std::holds_alternative<RelayChallenge>(*challenge)) return {};
    const std::string text = RelayHelloText(pcId_, std::get<RelayChallenge>(*challenge).nonce, signedPhones);
    const Digest32 digest = Sha256({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    std::array<uint8_t, 64> signature{};
    EXPECT_TRUE(identity_.Sign(digest, signature));
    EXPECT_TRUE(client->Send(MakeRelayHello(identity_.PublicKey(), sentPhones, "1.0.0", signature)));
    std::string reply;
    uint16_t code = 0;
    if (!client->Receive(reply, code, kMax)) return {std::nullopt, code};
    return {ParseRelayMessage(reply), code};
  }

  static std::vector<std::string> Phones(int count) {
    std::vector<std::string> phones;
    for (int i = 0; i < count; ++i) {
      std::array<uint8_t, 65> key{};
      key[0] = 4;
      key[1] = static_cast<uint8_t>(i);
      phones.push_back(PublicKeyId(key));
    }
    std::sort(phones.begin(), phones.end());
    return phones;
  }

  test::TempDir dir_;
  HostIdentity identity_;
  std::string pcId_;
};

TEST_F(SignInTest, SignedHelloIsAccepted) {
  for (const int count : {0, 1, 64}) {
    const auto phones = Phones(count);
    const auto [reply, code] = SignIn(phones, phones);
    ASSERT_TRUE(reply && std::holds_alternative<RelayReady>(*reply)) << count << " phones, close code " << code;
    EXPECT_EQ(std::get<RelayReady>(*reply).iceServers, std::vector<std::string>{"stun:127.0.0.1:3478"});
  }
}

TEST_F(SignInTest, TamperedPhoneListIsRefused) {
  const auto phones = Phones(3);
  const std::vector<std::string> fewer(phones.begin(), phones.end() - 1);
  const std::vector<std::string> reordered = {phones[1], phones[0], phones[2]};
  for (const auto& sent : {fewer, reordered, Phones(4)}) {
    const auto [reply, code] = SignIn(phones, sent);
    EXPECT_FALSE(reply.has_value());
    EXPECT_EQ(code, 4001);
  }
}

}  // namespace
}  // namespace kelm
