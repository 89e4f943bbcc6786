// Figures of the relay client's own work that need no ICE path: signing in (phone
// list, signed text and hello for a full store) and reading a connect request.
#include <array>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench.h"
#include "bench_timing.h"
#include "connect/base64url.h"
#include "connect/relay_messages.h"
#include "connect/relay_request_rules.h"
#include "core/crypto.h"
#include "core/pairing.h"
#include "core/paths.h"
#include "support/temp_dir.h"

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
  test::TempDir profile;
  SetProfileDir(profile.Path());
  {
    Pairing pairing;
    if (!pairing.Load()) {
      SetProfileDir(L"");
      return out.Fail("connect.hello: no identity key");
    }
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
      if (!pairing.Identity().Sign(digest, signature)) {
        SetProfileDir(L"");
        return out.Fail("connect.hello: signing failed");
      }
      const std::string hello = MakeRelayHello(pairing.Identity().PublicKey(), list, "1.0.0", signature);
      if (hello.empty()) return out.Fail("connect.hello: empty hello");
      ms.push_back(watch.Micros() / 1000);
    }
    out.Figure("connect.hello.64_phones_median", Quantile(ms, 0.5), "ms");
  }
  SetProfileDir(L"");
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

}  // namespace

TAVRO_BENCH("connect.hello", HelloBench);
TAVRO_BENCH("connect.parse", ParseConnectBench);

}  // namespace kelm::bench
