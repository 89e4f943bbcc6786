// Figures of the cryptographic primitives the handshake and the records use.
#include <array>
#include <cstdint>
#include <cstring>
#include <format>
#include <string_view>
#include <vector>

#include "bench.h"
#include "bench_timing.h"
#include "raw_figures.h"
#include "core/cpace.h"
#include "core/crypto.h"
#include "core/curve25519.h"
#include "core/host_identity.h"

namespace kelm::bench {
namespace {

constexpr size_t kBuffer = 64 * 1024;
constexpr size_t kTag = 16;
constexpr double kSeconds = 1.0;

std::span<const uint8_t> Text(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

void AesGcmSealBench(BenchOut& out) {
  out.Figure("crypto.aes_gcm_seal_64k", AesGcmSealMegabytesPerSecond(kSeconds), "MB/s");
}

void X25519Bench(BenchOut& out) {
  std::array<uint8_t, 32> scalar{}, u{}, result{};
  RandomBytes(scalar.data(), scalar.size());
  u[0] = 9;
  const LoopResult r = RunFor(kSeconds, 10, [&] {
    X25519(result, scalar, u);
    u = result;  // each step depends on the last, so none is skipped
    return true;
  });
  out.Figure("crypto.x25519", r.MicrosEach(), "us");
}

void CpaceGeneratorBench(BenchOut& out) {
  std::array<uint8_t, 32> sid{};
  RandomBytes(sid.data(), sid.size());
  const LoopResult r = RunFor(kSeconds, 10, [&] {
    const std::array<uint8_t, 32> g = CpaceGenerator(Text("123456"), Text("tavro-v2 pairing"), sid);
    sid[0] ^= g[0];
    return true;
  });
  out.Figure("crypto.cpace_generator", r.MicrosEach(), "us");
}

void EcdsaBench(BenchOut& out) {
  HostIdentity identity;  // the PC's own key, as the handshake signs with it
  if (!identity.Open()) {
    out.Fail("crypto.ecdsa: the identity key did not open: " + identity.Error());
    return;
  }
  Digest32 hash = Sha256(Text("tavro-bench"));
  std::array<uint8_t, 64> signature{};
  bool ok = true;
  const LoopResult sign = RunFor(kSeconds, 10, [&] { return ok = identity.Sign(hash, signature); });
  if (!ok) {
    out.Fail("crypto.ecdsa: signing failed");
    return;
  }
  const LoopResult verify =
      RunFor(kSeconds, 10, [&] { return ok = EcdsaP256Verify(identity.PublicKey(), hash, signature); });
  if (!ok) {
    out.Fail("crypto.ecdsa: a fresh signature did not verify");
    return;
  }
  out.Figure("crypto.ecdsa_sign", sign.MicrosEach(), "us");
  out.Figure("crypto.ecdsa_verify", verify.MicrosEach(), "us");
}

TAVRO_BENCH("crypto.aes_gcm", AesGcmSealBench);
TAVRO_BENCH("crypto.cpace", CpaceGeneratorBench);
TAVRO_BENCH("crypto.ecdsa", EcdsaBench);
TAVRO_BENCH("crypto.x25519", X25519Bench);

}  // namespace

double AesGcmSealMegabytesPerSecond(double seconds) {
  AesGcmKey key;
  std::array<uint8_t, 32> raw{};
  RandomBytes(raw.data(), raw.size());
  if (!key.SetKey(raw)) return 0;
  std::vector<uint8_t> plain(kBuffer, 0x5A), sealed(kBuffer + kTag);
  std::array<uint8_t, 12> nonce{};
  uint64_t counter = 0;
  const LoopResult r = RunFor(seconds, 4, [&] {
    ++counter;
    std::memcpy(nonce.data() + 4, &counter, sizeof counter);
    return AesGcmSeal(key, nonce, {}, plain, sealed);
  });
  return MegabytesPerSecond(r.iterations * kBuffer, r.seconds);
}

}  // namespace kelm::bench
