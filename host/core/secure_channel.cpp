#include "core/secure_channel.h"

#include <cstring>
#include <exception>
#include <format>
#include <initializer_list>

#include "core/byte_order.h"
#include "core/cng_handles.h"
#include "core/cpace.h"
#include "core/encoding.h"
#include "core/handshake_frames.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/local_addresses.h"
#include "core/utf8.h"

namespace kelm {
namespace {

using Bytes = std::vector<uint8_t>;
using Range = std::span<const uint8_t>;

constexpr size_t kHelloPlain = 99;
constexpr size_t kHelloPairing = 140;
constexpr size_t kProofSize = 65 + 64 + 32;
constexpr char kPairingCi[] = "tavro-v2 pairing";
constexpr char kHandshakeSalt[] = "tavro-v2 handshake";
constexpr char kHostContext[] = "tavro-v2 host";
constexpr char kClientContext[] = "tavro-v2 client";

Range Text(std::string_view s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

std::array<uint8_t, 32> HashOf(std::initializer_list<Range> parts) {
  return CngDigest(cng::Sha256Alg(), {}, std::span<const Range>(parts.begin(), parts.size()));
}

void Append(Bytes& out, Range bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

// Wipes a secret buffer when it goes out of scope, on every path.
template <typename T>
struct Wiper {
  T& buffer;
  ~Wiper() { WipeBytes(buffer.data(), buffer.size() * sizeof(buffer[0])); }
};

struct Admission {
  proto::AdmissionResult result = proto::AdmissionResult::Admitted;
  std::string message;
};

constexpr char kNotPairedRelay[] = "This device isn't paired with this PC. Pair it once over USB or the same Wi-Fi.";

}  // namespace

std::array<uint8_t, 12> RecordNonce(const std::array<uint8_t, 12>& iv, uint64_t counter) {
  std::array<uint8_t, 12> nonce = iv;
  for (int i = 0; i < 8; ++i) {
    nonce[4 + i] ^= static_cast<uint8_t>(counter >> (56 - 8 * i));
  }
  return nonce;
}

bool SecureChannel::ReadFrame(ByteStream& stream, uint8_t& type, std::vector<uint8_t>& body) {
  uint8_t header[4];
  if (!stream.ReadExact(header, 4)) {
    return false;
  }
  const std::optional<uint32_t> length = frame::FrameLength(header);
  if (!length) {
    return false;
  }
  Bytes data(*length);
  if (!stream.ReadExact(data.data(), *length)) {
    return false;
  }
  type = data[0];
  body.assign(data.begin() + 1, data.end());
  return true;
}

bool SecureChannel::WriteFrame(ByteStream& stream, proto::MsgType type, std::span<const uint8_t> body) {
  Bytes data;
  data.reserve(5 + body.size());
  msg::WriteU32(data, static_cast<uint32_t>(body.size() + 1));
  msg::WriteU8(data, static_cast<uint8_t>(type));
  Append(data, body);
  return stream.Write(data.data(), data.size());
}

bool SecureChannel::SendError(ByteStream& stream, proto::HandshakeError code, std::string_view text) {
  Bytes body;
  msg::WriteU8(body, static_cast<uint8_t>(code));
  msg::WriteString(body, text);
  return WriteFrame(stream, proto::MsgType::HostHello, body);
}

bool SecureChannel::RejectOldApp(ByteStream& stream) {
  msg::Welcome welcome;
  welcome.version = 3;
  welcome.status = static_cast<uint8_t>(proto::WelcomeStatus::IncompatibleVersions);
  welcome.pcName = ComputerName();
  welcome.message =
      "This version of tavro on the PC needs the latest tavro app. Update the app on this device and connect again.";
  const msg::Message m = msg::MakeWelcome(welcome);
  return WriteFrame(stream, proto::MsgType::Welcome, m.payload);
}

std::vector<uint8_t> SecureChannel::DeriveKey(std::span<const uint8_t> prk, std::string_view label,
                                              std::span<const uint8_t, 32> transcriptHash, size_t length) {
  Bytes info(label.begin(), label.end());
  Append(info, transcriptHash);
  return HkdfExpandSha256(prk, info, length);
}

AcceptResult SecureChannel::Accept(ByteStream& stream, std::string_view peer, Pairing& pairing, bool relay,
                                   HandshakeResult& result) {
  // A failing CNG call throws from the hash wrappers: end this one handshake only.
  try {
    return Handshake(stream, peer, pairing, relay, result);
  } catch (const std::exception& e) {
    LogWarn("[{}] handshake failed: {}", peer, e.what());
    return AcceptResult::Failed;
  }
}

AcceptResult SecureChannel::Handshake(ByteStream& stream, std::string_view peer, Pairing& pairing, bool relay,
                                      HandshakeResult& result) {
  constexpr AcceptResult kRefused = AcceptResult::Refused;
  constexpr AcceptResult kFail = AcceptResult::Failed;
  using proto::AdmissionResult;
  using proto::HandshakeError;
  using proto::MsgType;

  // 1. The first frame.
  uint8_t type = 0;
  Bytes helloBody;
  if (!ReadFrame(stream, type, helloBody)) {
    return kFail;
  }
  if (type == static_cast<uint8_t>(MsgType::Hello)) {
    RejectOldApp(stream);
    return AcceptResult::LegacyApp;
  }
  if (type != static_cast<uint8_t>(MsgType::ClientHello)) {
    return kFail;
  }

  // 2. ClientHello.
  frame::ClientHello hello;
  if (!frame::ParseClientHello(helloBody, hello)) {
    return kFail;
  }
  if (hello.version != 1) {
    SendError(stream, HandshakeError::VersionMismatch, "This version of the tavro app doesn't match the PC. Update both.");
    return kRefused;
  }
  if (helloBody.size() != (hello.pairing ? kHelloPairing : kHelloPlain)) {
    return kFail;
  }
  result.pairingAttempted = hello.pairing;

  // 3. The code the device must know, and the wrong-code guard.
  std::string code;
  Wiper<std::string> wipeCode{code};
  bool mayPairNew = false;
  uint64_t globalLockMs = 0;  // pairing new keys was locked when this attempt came
  if (hello.pairing) {
    std::string reason;
    std::optional<std::string> expected = pairing.ExpectedCode(hello.codeKind, hello.step, mayPairNew, reason);
    if (!expected) {
      LogWarn("[{}] pairing code not accepted: {}", peer, reason);
      const bool off = pairing.Policy().method == PairingMethod::Off && hello.codeKind == 0;
      SendError(stream, off ? HandshakeError::PairingOff : HandshakeError::NoCodeExpected, reason);
      return kRefused;
    }
    code.assign(*expected);
    WipeBytes(expected->data(), expected->size());
    // With "code every time" paired devices give an authenticator code on every
    // connection: others' wrong codes must not lock them out (see step 15).
    PairingPolicy rules = pairing.Policy();
    uint64_t blockedMs = 0;
    if (hello.codeKind == 1 && rules.codeEveryTime && !rules.authenticatorSecret.empty()) {
      const Pairing::Charge charge = pairing.ChargePairedDeviceCode(peer);
      blockedMs = charge.blockedMs;
      globalLockMs = charge.globalLockMs;
    } else {
      blockedMs = pairing.ChargeAttempt(peer);
    }
    if (blockedMs != 0) {
      LogWarn("[{}] pairing attempt rejected (locked out after wrong codes)", peer);
      SendError(stream, HandshakeError::LockedOut, std::format("Too many wrong codes. Try again in {} seconds.", (blockedMs + 999) / 1000));
      return kRefused;
    }
  }

  // 4-5. Ephemeral key and the HostHello body.
  EcdhKeyPair ephemeral;
  std::array<uint8_t, 32> hostRandom{};
  if (!EcdhP256Generate(ephemeral) || !RandomBytes(hostRandom.data(), hostRandom.size())) {
    return kFail;
  }
  Bytes hostHello = {0};
  Append(hostHello, hostRandom);
  Append(hostHello, ephemeral.publicKey);

  // 6. CPace: the code proves itself without travelling.
  std::array<uint8_t, 64> isk{};
  Wiper<std::array<uint8_t, 64>> wipeIsk{isk};
  if (hello.pairing) {
    // The generator alone lets anyone test code guesses offline: wiped like the code.
    std::array<uint8_t, 32> g = CpaceGenerator(Text(code), Text(kPairingCi), hello.random);
    Wiper<std::array<uint8_t, 32>> wipeG{g};
    WipeBytes(code.data(), code.size());
    std::array<uint8_t, 32> y{};
    std::array<uint8_t, 32> yb{};
    std::array<uint8_t, 32> k{};
    Wiper<std::array<uint8_t, 32>> wipeY{y}, wipeK{k};
    if (!RandomBytes(y.data(), y.size()) || !X25519NonZero(y, g, yb) || !X25519NonZero(y, hello.share, k)) {
      return kFail;
    }
    isk = CpaceIsk(hello.random, k, hello.share, {}, yb, {});
    WipeBytes(g.data(), g.size());
    Append(hostHello, yb);
  }

  // 7. Transcript so far.
  Bytes transcript = helloBody;
  Append(transcript, hostHello);
  const std::array<uint8_t, 32> th = HashOf({transcript});

  // 8. Key material.
  std::array<uint8_t, 32> shared{};
  Wiper<std::array<uint8_t, 32>> wipeShared{shared};
  if (!EcdhP256Agree(ephemeral, hello.ephemeral, shared)) {
    return kFail;
  }
  // Sized once: growing the buffer would leave the ECDH secret behind in freed memory.
  Bytes ikm;
  ikm.reserve(shared.size() + isk.size());
  Wiper<Bytes> wipeIkm{ikm};
  Append(ikm, shared);
  if (hello.pairing) {
    Append(ikm, isk);
  }
  std::array<uint8_t, 32> prk = HmacSha256(Text(kHandshakeSalt), ikm);
  Wiper<std::array<uint8_t, 32>> wipePrk{prk};
  WipeBytes(shared.data(), shared.size());
  WipeBytes(ikm.data(), ikm.size());
  WipeBytes(isk.data(), isk.size());

  // 9. Handshake keys.
  const Bytes h2cIv = DeriveKey(prk, "hs h2c iv", th, 12);
  Bytes h2cKey = DeriveKey(prk, "hs h2c key", th, 32);
  const Bytes c2hIv = DeriveKey(prk, "hs c2h iv", th, 12);
  Bytes c2hKey = DeriveKey(prk, "hs c2h key", th, 32);
  Bytes finH = DeriveKey(prk, "fin h", th, 32);
  Bytes finC = DeriveKey(prk, "fin c", th, 32);
  Wiper<Bytes> w1{h2cKey}, w2{c2hKey}, w3{finH}, w4{finC};
  AesGcmKey hsSend;
  AesGcmKey hsRecv;
  if (!hsSend.SetKey(h2cKey) || !hsRecv.SetKey(c2hKey)) {
    return kFail;
  }

  // 10. Host proof.
  HostIdentity& identity = pairing.Identity();
  const std::array<uint8_t, 65>& hostKey = identity.PublicKey();
  const std::array<uint8_t, 32> h1 = HashOf({transcript, hostKey});
  const std::array<uint8_t, 32> h2 = HashOf({Text(kHostContext), h1});
  std::array<uint8_t, 64> signature{};
  if (!identity.Sign(h2, signature)) {
    LogError("[{}] signing with the PC's identity key failed", peer);
    return kFail;
  }
  const std::array<uint8_t, 32> h3 = HashOf({transcript, hostKey, signature});
  const std::array<uint8_t, 32> hostFinished = HmacSha256(finH, h3);

  // 11. Seal and send the proof.
  Bytes proof;
  Append(proof, hostKey);
  Append(proof, signature);
  Append(proof, hostFinished);
  Bytes sealed(kProofSize + 16);
  std::array<uint8_t, 12> nonce{};
  std::memcpy(nonce.data(), h2cIv.data(), 12);
  if (!AesGcmSeal(hsSend, nonce, {}, proof, sealed)) {
    return kFail;
  }
  Bytes reply = hostHello;
  Append(reply, sealed);
  if (!WriteFrame(stream, MsgType::HostHello, reply)) {
    return kFail;
  }
  Append(transcript, proof);

  // 12. ClientFinish.
  Bytes finishBody;
  if (!ReadFrame(stream, type, finishBody) || type != static_cast<uint8_t>(MsgType::ClientFinish) ||
      finishBody.size() < 16) {
    if (hello.pairing) {
      LogWarn("[{}] pairing failed (wrong code?)", peer);
      return kRefused;
    }
    return kFail;
  }
  Bytes finish(finishBody.size() - 16);
  std::memcpy(nonce.data(), c2hIv.data(), 12);
  if (!AesGcmOpen(hsRecv, nonce, {}, finishBody, finish)) {
    LogWarn("[{}] {}", peer, hello.pairing ? "wrong pairing code" : "handshake failed");
    return kRefused;
  }

  // 13. The device's proof.
  frame::ClientFinish client;
  if (!frame::ParseClientFinish(finish, client)) {
    return kFail;
  }
  const DeviceKey& clientKey = client.key;
  const Range p(finish.data() + clientKey.size(), 2 + client.name.size());
  const std::array<uint8_t, 32> h4 = HashOf({transcript, clientKey, p});
  const std::array<uint8_t, 32> h5 = HashOf({Text(kClientContext), h4});
  const std::array<uint8_t, 32> h6 = HashOf({transcript, clientKey, p, client.signature});
  const std::array<uint8_t, 32> expectedFinished = HmacSha256(finC, h6);
  if (clientKey[0] != 0x04 || !EcdsaP256Verify(clientKey, h5, client.signature) ||
      !ConstantTimeEqual(expectedFinished.data(), client.finished.data(), 32)) {
    LogWarn("[{}] handshake failed: invalid device signature", peer);
    return kRefused;
  }

  // 14. Application keys.
  Append(transcript, finish);
  const std::array<uint8_t, 32> th2 = HashOf({transcript});
  const Bytes sendIv = DeriveKey(prk, "app h2c iv", th2, 12);
  Bytes sendKey = DeriveKey(prk, "app h2c key", th2, 32);
  const Bytes recvIv = DeriveKey(prk, "app c2h iv", th2, 12);
  Bytes recvKey = DeriveKey(prk, "app c2h key", th2, 32);
  Wiper<Bytes> w5{sendKey}, w6{recvKey};
  if (!sendKey_.SetKey(sendKey) || !recvKey_.SetKey(recvKey)) {
    return kFail;
  }
  std::memcpy(sendIv_.data(), sendIv.data(), 12);
  std::memcpy(recvIv_.data(), recvIv.data(), 12);
  sendCounter_ = 0;
  recvCounter_ = 0;
  established_ = true;

  // 15. Admission.
  result.devicePublicKey = clientKey;
  result.deviceId = KeyFingerprint(clientKey);
  result.deviceName = client.name;
  const PairingPolicy policy = pairing.Policy();
  const bool paired = pairing.IsPaired(clientKey);
  Admission admission;
  if (!hello.pairing) {
    if (!paired) {
      admission.result = AdmissionResult::NotPaired;
      admission.message = relay ? kNotPairedRelay
                          : policy.method == PairingMethod::Off
                              ? "This device isn't paired with this PC, and pairing new devices is turned off."
                              : "This device isn't paired with this PC yet.";
    } else if (policy.codeEveryTime && !policy.authenticatorSecret.empty()) {
      admission.result = AdmissionResult::CodeEveryTime;
      admission.message = "This PC asks for an authenticator code on every connection.";
    }
  } else if (!paired && globalLockMs != 0) {
    // A right code from a key that is not paired, while pairing new keys is locked:
    // refused, the code used up, and the attempt stays charged to its source.
    pairing.NoteAuthenticatorStepUsed(hello.codeKind, hello.step);
    LogWarn("[{}] pairing attempt rejected (locked out after wrong codes)", peer);
    admission.result = AdmissionResult::NotPaired;
    admission.message = std::format("Too many wrong codes. Try again in {} seconds.", (globalLockMs + 999) / 1000);
  } else {
    pairing.NoteCodeAccepted(peer);
    pairing.NoteAuthenticatorStepUsed(hello.codeKind, hello.step);
    if (!paired) {
      if (!mayPairNew) {
        admission.result = AdmissionResult::NotPaired;
        admission.message = "Pairing new devices is turned off on this PC.";
      } else if (relay) {
        admission.result = AdmissionResult::NotPaired;
        admission.message = kNotPairedRelay;
      } else {
        pairing.AddDevice(clientKey, result.deviceName);
        result.newlyPaired = true;
        LogInfo("[{}] paired new device '{}' ({})", peer, SanitizeForLog(StoredDeviceName(result.deviceName)),
                result.deviceId);
      }
    }
  }

  // 16. The first record.
  Bytes payload;
  msg::WriteU8(payload, static_cast<uint8_t>(admission.result));
  msg::WriteU8(payload, static_cast<uint8_t>(policy.method));
  msg::WriteU8(payload, result.newlyPaired ? 1 : 0);
  msg::WriteString(payload, admission.message);
  if (!WriteRecord(stream, static_cast<uint8_t>(MsgType::Admission), payload.data(), payload.size())) {
    return kFail;
  }
  if (admission.result != AdmissionResult::Admitted) {
    LogInfo("[{}] '{}' ({}) not admitted: {}", peer, SanitizeForLog(StoredDeviceName(result.deviceName)),
            result.deviceId, admission.message);
    return kRefused;
  }
  if (!result.newlyPaired) {
    pairing.TouchLastSeen(clientKey);
  }
  return AcceptResult::Admitted;
}

bool SecureChannel::WriteRecord(ByteStream& stream, uint8_t type, const uint8_t* payload, size_t length) {
  Bytes buffer;
  return SealRecord(type, payload, length, buffer) && stream.Write(buffer.data(), buffer.size());
}

bool SecureChannel::SealRecord(uint8_t type, const uint8_t* payload, size_t length, std::vector<uint8_t>& out) {
  if (!established_ || length > kMaxRecordPayload) {
    return false;
  }
  const uint32_t recordLength = static_cast<uint32_t>(length + 17);
  const size_t start = out.size();
  out.reserve(start + 4 + recordLength);
  msg::WriteU32(out, recordLength);
  msg::WriteU8(out, type);
  out.insert(out.end(), payload, payload + length);
  out.resize(start + 4 + recordLength);  // room for the tag
  uint8_t* record = out.data() + start;
  const Range plain(record + 4, length + 1);
  const std::span<uint8_t> sealed(record + 4, length + 17);
  if (!AesGcmSeal(sendKey_, RecordNonce(sendIv_, sendCounter_), Range(record, 4), plain, sealed)) {
    out.resize(start);
    return false;
  }
  ++sendCounter_;
  return true;
}

bool SecureChannel::RecordBuffered(const ByteStream& stream) {
  uint8_t header[4];
  if (stream.PeekBuffered(header, 4) != 4) return false;
  const size_t length = header[0] | header[1] << 8 | header[2] << 16 | size_t{header[3]} << 24;
  return stream.BufferedBytes() >= 4 + length;
}

bool SecureChannel::ReadRecord(ByteStream& stream, uint8_t& type, std::vector<uint8_t>& payload, size_t maxPayload) {
  if (!established_) {
    return false;
  }
  uint8_t header[4];
  if (!stream.ReadExact(header, 4)) {
    return false;
  }
  const uint32_t length = bytes::LoadLe<uint32_t>(header);
  if (length < 17 || length - 17 > maxPayload) {
    LogWarn("invalid record length {}", length);
    return false;
  }
  Bytes data(length);
  if (!stream.ReadExact(data.data(), length)) {
    return false;
  }
  Bytes plain(length - 16);
  if (!AesGcmOpen(recvKey_, RecordNonce(recvIv_, recvCounter_), Range(header, 4), data, plain)) {
    LogWarn("record authentication failed - closing the connection");
    return false;
  }
  ++recvCounter_;
  type = plain[0];
  payload.assign(plain.begin() + 1, plain.end());
  return true;
}

}  // namespace kelm
