// Figures of the relay client's own work that need no ICE path: signing in (phone
// list, signed text and hello for a full store), reading a connect request, and the
// client's part of a set-up against a local relay with loopback TCP in place of ICE.
#include <array>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench.h"
#include "bench_relay_server.h"
#include "bench_profile.h"
#include "bench_timing.h"
#include "connect/connect_client.h"
#include "connect/base64url.h"
#include "connect/relay_messages.h"
#include "connect/relay_request_rules.h"
#include "core/crypto.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "support/temp_dir.h"
#include "support/test_tcp.h"

namespace kelm::bench {
namespace {

constexpr int kHellos = 21;

DeviceKey Key(unsigned n) {
  DeviceKey key{};
  key[0] = 0x04;
  for (size_t i = 1; i < key.size(); ++i) key[i] = static_cast<uint8_t>(n * 13 + i);
  return key;
}

void HelloBench(BenchOut& out) {
  ScopedBenchProfile profile;
  {
    Pairing pairing;
    if (!pairing.Load()) return out.Fail("connect.hello: no identity key: " + pairing.Identity().Error());
    for (unsigned i = 0; i < Pairing::kMaxDevices; ++i) pairing.AddDevice(Key(i), "Phone");
    const std::string pcId = PublicKeyId(pairing.Identity().PublicKey());
    std::vector<double> ms;
    for (int i = 0; i < kHellos; ++i) {
      Stopwatch watch;
      std::vector<PhoneSeen> phones;
      for (const PairedDevice& d : pairing.Devices()) phones.push_back({d.lastSeen, PublicKeyId(d.key)});
      const std::vector<std::string> list = RelayPhoneList(std::move(phones));
      const std::string text = RelayHelloText(pcId, "bench-nonce-0123456789abcdef", list);
      const Digest32 digest = Sha256({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
      std::array<uint8_t, 64> signature{};
      if (!pairing.Identity().Sign(digest, signature)) return out.Fail("connect.hello: signing failed");
      const std::string hello = MakeRelayHello(pairing.Identity().PublicKey(), list, "1.0.0", signature);
      if (hello.empty()) return out.Fail("connect.hello: empty hello");
      ms.push_back(watch.Micros() / 1000);
    }
    out.Figure("connect.hello.64_phones_median", Quantile(ms, 0.5), "ms");
  }
}

void ParseConnectBench(BenchOut& out) {
  const DeviceKey key = Key(1);
  nlohmann::json turn = nlohmann::json::array();
  for (int i = 0; i < 4; ++i) {
    turn.push_back({{"urls", {"turn:127.0.0.1:3478?transport=udp", "turn:127.0.0.1:3479"}},
                    {"username", std::string(64, 'u')},
                    {"credential", std::string(64, 'c')}});
  }
  const std::string text = nlohmann::json{{"type", "connect"},
                                          {"requestId", "bench-request"},
                                          {"phoneId", PublicKeyId(key)},
                                          {"offer", std::string(4000, 'o')},
                                          {"phonePublicKey", Base64UrlEncode(key)},
                                          {"turnServers", turn}}
                               .dump();
  bool ok = true;
  const LoopResult r = RunFor(1.0, 100, [&] {
    ok = ParseRelayMessage(text).has_value();
    return ok;
  });
  if (!ok) return out.Fail("connect.parse: the request did not parse");
  out.Figure("connect.parse.request_4k_offer", r.MicrosEach(), "us");
}

// In place of ICE: the answer at once and a loopback TCP stream.
class LoopbackIce : public RelayIceStream {
 public:
  size_t TurnEntries() const override { return 0; }
  std::optional<std::string> Answer(std::string_view, uint32_t) override { return "v=0\r\na=ice-ufrag:bnch\r\n"; }
  bool WaitConnected(uint32_t) override {
    auto [host, device] = test::LoopbackPair();
    host_ = std::move(host);
    device_ = std::move(device);
    return host_ != nullptr;
  }
  std::optional<IceCandidatePair> SelectedCandidates() override {
    return IceCandidatePair{"host", "127.0.0.1 1", "host", "127.0.0.1 2"};
  }
  void Close() override {
    if (host_) host_->Shutdown();
  }
  std::unique_ptr<ByteStream> TakeStream() override { return std::move(host_); }

 private:
  std::unique_ptr<test::TestTcpStream> host_, device_;
};

constexpr int kSetUps = 10;

void SetUpBench(BenchOut& out) {
  BenchRelayServer relay;
  if (!relay.Start()) return out.Fail("connect.setup: the local relay did not start");
  std::vector<double> signIn, toAnswer, toHandOver;
  {
    ScopedBenchProfile profile;
    Pairing pairing;
    if (!pairing.Load()) return out.Fail("connect.setup: no identity key: " + pairing.Identity().Error());
    pairing.AddDevice(Key(1), "Phone");
    std::mutex mutex;
    std::condition_variable changed;
    int handedOver = 0;
    ConnectClient client(pairing, "1.0.0", [&](std::unique_ptr<ByteStream>, const std::string&) {
      std::lock_guard lock(mutex);
      ++handedOver;
      changed.notify_all();
      return true;
    });
    ConnectClient::Options settings;
    settings.defaultStun = "stun:127.0.0.1:3478";
    settings.iceBindAddress = "127.0.0.1";
    settings.iceFactory = [](const RelayIceRequest&) { return std::make_unique<LoopbackIce>(); };
    client.SetOptions(settings);
    const std::string server = "ws://127.0.0.1:" + std::to_string(relay.Port());
    const std::string request = nlohmann::json{{"type", "connect"},
                                               {"requestId", "bench"},
                                               {"phoneId", PublicKeyId(Key(1))},
                                               {"offer", "v=0\r\na=ice-ufrag:phon\r\n"},
                                               {"phonePublicKey", Base64UrlEncode(Key(1))}}
                                    .dump();
    for (int i = 0; i < kSetUps; ++i) {
      Stopwatch watch;
      client.Configure(true, server);
      if (!relay.WaitOnline(10000)) break;
      // Online for the client once it has stored the relay's list.
      while (client.GetStatus().state != ConnectClient::State::Online && watch.Seconds() < 10) Sleep(0);
      signIn.push_back(watch.Micros() / 1000);

      Stopwatch request_watch;
      if (!relay.SendToPc(request)) break;
      const auto answer = relay.NextFromPc(10000);
      if (!answer || answer->find("\"answer\"") == std::string::npos) break;
      toAnswer.push_back(request_watch.Micros() / 1000);
      {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(10), [&] { return handedOver == i + 1; })) break;
      }
      toHandOver.push_back(request_watch.Micros() / 1000);
      client.Configure(false, "");
    }
    client.Configure(false, "");
  }
  if (toHandOver.size() != kSetUps) return out.Fail("connect.setup: a set-up did not finish");
  out.Figure("connect.setup.sign_in_median", Quantile(signIn, 0.5), "ms");
  out.Figure("connect.setup.request_to_answer_no_ice_median", Quantile(toAnswer, 0.5), "ms");
  out.Figure("connect.setup.request_to_hand_over_loopback_median", Quantile(toHandOver, 0.5), "ms");
}

}  // namespace

TAVRO_BENCH("connect.hello", HelloBench);
TAVRO_BENCH("connect.setup", SetUpBench);
TAVRO_BENCH("connect.parse", ParseConnectBench);

}  // namespace kelm::bench
