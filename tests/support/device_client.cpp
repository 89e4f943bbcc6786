#include "support/device_client.h"

#include <cstring>
#include <stdexcept>

#include "core/cpace.h"

namespace kelm::test {
namespace {

// The protocol's frame and message types as the device knows them (kept apart from
// the host's own constants, so a wrong value there cannot hide here).
constexpr uint8_t kClientHelloFrame = 50;
constexpr uint8_t kHostHelloFrame = 51;
constexpr uint8_t kClientFinishFrame = 52;
constexpr uint8_t kAdmissionRecord = 53;
constexpr uint8_t kPairingRequested = 1;

using Range = std::span<const uint8_t>;

Range Text(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }
void Append(Bytes& out, Range r) { out.insert(out.end(), r.begin(), r.end()); }
void PutU16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutU32(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

std::array<uint8_t, 32> Hash(const Bytes& data) { return Sha256(data); }
Bytes Cat(std::initializer_list<Range> parts) {
  Bytes out;
  for (Range r : parts) Append(out, r);
  return out;
}

// HKDF-Expand(PRK, label || TH, n), written out here from RFC 5869.
Bytes Expand(const std::array<uint8_t, 32>& prk, std::string_view label, const std::array<uint8_t, 32>& th, size_t n) {
  const Bytes info = Cat({Text(label), th});
  Bytes out;
  Bytes previous;
  for (uint8_t i = 1; out.size() < n; ++i) {
    Bytes block = previous;
    Append(block, info);
    block.push_back(i);
    const std::array<uint8_t, 32> t = HmacSha256(prk, block);
    previous.assign(t.begin(), t.end());
    Append(out, t);
  }
  out.resize(n);
  return out;
}

std::array<uint8_t, 12> Nonce(const std::array<uint8_t, 12>& iv, uint64_t counter) {
  std::array<uint8_t, 12> n = iv;
  for (int i = 0; i < 8; ++i) n[11 - i] ^= static_cast<uint8_t>(counter >> (8 * i));
  return n;
}

std::array<uint8_t, 12> Iv(const Bytes& b) {
  std::array<uint8_t, 12> iv{};
  std::memcpy(iv.data(), b.data(), 12);
  return iv;
}

}  // namespace

DeviceIdentity::DeviceIdentity() {
  BCRYPT_ALG_HANDLE alg = nullptr;
  if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) {
    throw std::runtime_error("no ECDSA provider");
  }
  BCryptGenerateKeyPair(alg, &key_, 256, 0);
  BCryptFinalizeKeyPair(key_, 0);
  uint8_t blob[8 + 64]{};
  ULONG size = 0;
  BCryptExportKey(key_, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof blob, &size, 0);
  publicKey_[0] = 0x04;
  std::memcpy(&publicKey_[1], blob + 8, 64);
  BCryptCloseAlgorithmProvider(alg, 0);
}

DeviceIdentity::~DeviceIdentity() {
  if (key_ != nullptr) BCryptDestroyKey(key_);
}

std::array<uint8_t, 64> DeviceIdentity::Sign(const std::array<uint8_t, 32>& hash) const {
  std::array<uint8_t, 64> signature{};
  ULONG size = 0;
  BCryptSignHash(key_, nullptr, const_cast<uint8_t*>(hash.data()), 32, signature.data(), 64, &size, 0);
  return signature;
}

bool DeviceClient::SendPlainFrame(uint8_t type, const Bytes& body) {
  Bytes frame;
  PutU32(frame, static_cast<uint32_t>(body.size() + 1));
  frame.push_back(type);
  Append(frame, body);
  return SendRaw(frame);
}

bool DeviceClient::ReadPlainFrame(uint8_t& type, Bytes& body) {
  uint8_t header[4];
  if (!stream_.ReadExact(header, 4)) return false;
  const uint32_t n = header[0] | header[1] << 8 | header[2] << 16 | uint32_t{header[3]} << 24;
  if (n == 0 || n > (1u << 20)) return false;
  Bytes data(n);
  if (!stream_.ReadExact(data.data(), n)) return false;
  type = data[0];
  body.assign(data.begin() + 1, data.end());
  return true;
}

HandshakeOutcome DeviceClient::Handshake(const DeviceIdentity& identity, const HandshakeOptions& options) {
  HandshakeOutcome outcome;
  EcdhKeyPair ephemeral;
  std::array<uint8_t, 32> random{};
  if (!EcdhP256Generate(ephemeral) || !RandomBytes(random.data(), random.size())) return outcome;

  const bool pairing = options.pairing.has_value();
  Bytes hello = {options.version, static_cast<uint8_t>(pairing ? kPairingRequested : 0)};
  Append(hello, random);
  Append(hello, ephemeral.publicKey);
  std::array<uint8_t, 32> ya{};
  std::array<uint8_t, 32> Ya{};
  if (pairing) {
    const std::array<uint8_t, 32> g = CpaceGenerator(Text(options.pairing->code), Text("tavro-v2 pairing"), random);
    RandomBytes(ya.data(), ya.size());
    X25519NonZero(ya, g, Ya);
    hello.push_back(options.pairing->kind);
    for (int i = 0; i < 8; ++i) hello.push_back(static_cast<uint8_t>(options.pairing->step >> (8 * i)));
    Append(hello, Ya);
  }
  if (!SendPlainFrame(kClientHelloFrame, hello)) return outcome;

  uint8_t type = 0;
  Bytes reply;
  if (!ReadPlainFrame(type, reply) || type != kHostHelloFrame || reply.empty()) return outcome;
  if (reply[0] != 0) {
    outcome.errorCode = reply[0];
    if (reply.size() >= 3) {
      const size_t n = reply[1] | size_t{reply[2]} << 8;
      outcome.errorText.assign(reinterpret_cast<const char*>(reply.data() + 3), std::min(n, reply.size() - 3));
    }
    return outcome;
  }
  const size_t helloPart = 1 + 32 + 65 + (pairing ? 32 : 0);
  if (reply.size() != helloPart + 161 + 16) return outcome;
  outcome.hostHello = true;
  std::array<uint8_t, 65> hostEphemeral{};
  std::memcpy(hostEphemeral.data(), reply.data() + 33, 65);

  Bytes transcript = hello;
  transcript.insert(transcript.end(), reply.begin(), reply.begin() + static_cast<ptrdiff_t>(helloPart));
  const std::array<uint8_t, 32> th = Hash(transcript);

  std::array<uint8_t, 32> shared{};
  if (!EcdhP256Agree(ephemeral, hostEphemeral, shared)) return outcome;
  Bytes ikm(shared.begin(), shared.end());
  if (pairing) {
    std::array<uint8_t, 32> Yb{};
    std::memcpy(Yb.data(), reply.data() + 98, 32);
    std::array<uint8_t, 32> k{};
    if (!X25519NonZero(ya, Yb, k)) return outcome;
    const std::array<uint8_t, 64> isk = CpaceIsk(random, k, Ya, {}, Yb, {});
    Append(ikm, isk);
  }
  const std::array<uint8_t, 32> prk = HmacSha256(Text("tavro-v2 handshake"), ikm);

  AesGcmKey hsH2c, hsC2h;
  hsH2c.SetKey(Expand(prk, "hs h2c key", th, 32));
  hsC2h.SetKey(Expand(prk, "hs c2h key", th, 32));
  const auto h2cIv = Iv(Expand(prk, "hs h2c iv", th, 12));
  const auto c2hIv = Iv(Expand(prk, "hs c2h iv", th, 12));
  const Bytes finH = Expand(prk, "fin h", th, 32);
  const Bytes finC = Expand(prk, "fin c", th, 32);

  const Bytes sealedProof(reply.begin() + static_cast<ptrdiff_t>(helloPart), reply.end());
  Bytes proof(161);
  if (!AesGcmOpen(hsH2c, h2cIv, {}, sealedProof, proof)) {
    return outcome;  // a wrong code: the device cannot open the host's proof
  }
  const std::span<const uint8_t, 65> hostKey(proof.data(), 65);
  const std::span<const uint8_t, 64> hostSignature(proof.data() + 65, 64);
  const Range hostFinished(proof.data() + 129, 32);
  const auto h1 = Hash(Cat({transcript, hostKey}));
  const auto h2 = Hash(Cat({Text("tavro-v2 host"), h1}));
  const auto h3 = Hash(Cat({transcript, hostKey, hostSignature}));
  const auto expectedFinished = HmacSha256(finH, h3);
  outcome.hostIdentityKey.assign(hostKey.begin(), hostKey.end());
  outcome.hostProofValid = EcdsaP256Verify(hostKey, h2, hostSignature) &&
                           std::memcmp(expectedFinished.data(), hostFinished.data(), 32) == 0;
  if (!outcome.hostProofValid) return outcome;
  Append(transcript, proof);

  Bytes p;
  PutU16(p, static_cast<uint16_t>(options.name.size()));
  Append(p, Text(options.name));
  const auto h4 = Hash(Cat({transcript, identity.PublicKey(), p}));
  const auto h5 = Hash(Cat({Text("tavro-v2 client"), h4}));
  const std::array<uint8_t, 64> signature = identity.Sign(h5);
  const auto h6 = Hash(Cat({transcript, identity.PublicKey(), p, signature}));
  const auto finished = HmacSha256(finC, h6);
  const Bytes finish = Cat({identity.PublicKey(), p, signature, finished});
  Bytes sealedFinish(finish.size() + 16);
  if (!AesGcmSeal(hsC2h, c2hIv, {}, finish, sealedFinish) || !SendPlainFrame(kClientFinishFrame, sealedFinish)) return outcome;
  Append(transcript, finish);

  const std::array<uint8_t, 32> th2 = Hash(transcript);
  recvKey_.SetKey(Expand(prk, "app h2c key", th2, 32));
  sendKey_.SetKey(Expand(prk, "app c2h key", th2, 32));
  recvIv_ = Iv(Expand(prk, "app h2c iv", th2, 12));
  sendIv_ = Iv(Expand(prk, "app c2h iv", th2, 12));

  Bytes admission;
  if (!ReadRecord(type, admission) || type != kAdmissionRecord || admission.size() < 5) return outcome;
  outcome.admissionReceived = true;
  outcome.admissionResult = admission[0];
  outcome.pairingMethod = admission[1];
  outcome.newlyPaired = admission[2] != 0;
  const size_t n = admission[3] | size_t{admission[4]} << 8;
  outcome.admissionMessage.assign(reinterpret_cast<const char*>(admission.data() + 5),
                                  std::min(n, admission.size() - 5));
  return outcome;
}

Bytes DeviceClient::SealRecord(uint8_t type, const Bytes& payload) {
  const uint32_t n = static_cast<uint32_t>(payload.size() + 17);
  Bytes header;
  PutU32(header, n);
  Bytes plain = {type};
  Append(plain, payload);
  Bytes sealed(plain.size() + 16);
  if (!AesGcmSeal(sendKey_, Nonce(sendIv_, sendCounter_), header, plain, sealed)) return {};
  ++sendCounter_;
  Append(header, sealed);
  return header;
}

bool DeviceClient::SendRecord(uint8_t type, const Bytes& payload) {
  const Bytes record = SealRecord(type, payload);
  return !record.empty() && SendRaw(record);
}

bool DeviceClient::ReadRecord(uint8_t& type, Bytes& payload) {
  uint8_t header[4];
  if (!stream_.ReadExact(header, 4)) return false;
  const uint32_t n = header[0] | header[1] << 8 | header[2] << 16 | uint32_t{header[3]} << 24;
  if (n < 17 || n > 0x1000000 + 17) return false;
  Bytes sealed(n);
  if (!stream_.ReadExact(sealed.data(), n)) return false;
  Bytes plain(n - 16);
  if (!AesGcmOpen(recvKey_, Nonce(recvIv_, recvCounter_), Range(header, 4), sealed, plain)) return false;
  ++recvCounter_;
  type = plain[0];
  payload.assign(plain.begin() + 1, plain.end());
  return true;
}

Bytes BuildHello(const HelloFields& f) {
  Bytes out = {'K', 'E', 'L', 'M'};
  PutU16(out, f.versionMax);
  PutU16(out, f.panelWidth);
  PutU16(out, f.panelHeight);
  PutU16(out, f.dpi);
  PutU16(out, f.monitorParamA);
  PutU16(out, f.monitorParamB);
  PutU16(out, f.displayWidth);
  PutU16(out, f.displayHeight);
  PutU16(out, f.fps);
  PutU32(out, f.kbps);
  out.push_back(f.displayMode);
  out.push_back(f.flags);
  out.push_back(f.codecPreference);
  out.push_back(f.mirrorIndex);
  for (int i = 0; i < 3; ++i) out.push_back(0);  // pen mode, touch mode, audio
  for (int i = 0; i < 5; ++i) out.push_back(0);  // skipped
  PutU16(out, static_cast<uint16_t>(f.name.size()));
  Append(out, Text(f.name));
  PutU16(out, f.displayScale);
  out.push_back(f.displayFlags);
  out.push_back(f.featureFlags);
  if (f.versionMin != 0) PutU16(out, f.versionMin);
  return out;
}

}  // namespace kelm::test
