#pragma once
// The session's secure channel: the host side of the handshake (with PIN or
// authenticator pairing) and the AES-GCM record layer on top of one byte stream.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/byte_stream.h"
#include "core/crypto.h"
#include "core/handshake_frames.h"
#include "core/pairing.h"
#include "core/protocol.h"

namespace kelm {

struct HandshakeResult {
  DeviceKey devicePublicKey{};
  std::string deviceId;
  std::string deviceName;  // at most 256 bytes, as the device sent it
  bool newlyPaired = false;
  bool pairingAttempted = false;
};

enum class AcceptResult : int {
  Admitted = 0,
  Refused = 1,    // refused or failed after a log line or a reply
  LegacyApp = 2,  // an app of the older pre-handshake protocol was answered
  Failed = 3,
};

class SecureChannel {
 public:
  static constexpr size_t kMaxRecordPayload = 0x1000000;

  // Runs the host side of the handshake; see AcceptResult.
  AcceptResult Accept(ByteStream& stream, std::string_view peer, Pairing& pairing, bool relay,
                      HandshakeResult& result);

  bool ReadRecord(ByteStream& stream, uint8_t& type, std::vector<uint8_t>& payload, size_t maxPayload);
  bool WriteRecord(ByteStream& stream, uint8_t type, const uint8_t* payload, size_t length);
  // Seals one record onto the end of `out`, for records written together with one call;
  // `out` is unchanged when it fails.
  bool SealRecord(uint8_t type, const uint8_t* payload, size_t length, std::vector<uint8_t>& out);
  // A whole record has arrived in the stream's buffer already: reading it will not wait.
  static bool RecordBuffered(const ByteStream& stream);

  static bool ReadFrame(ByteStream& stream, uint8_t& type, std::vector<uint8_t>& body);
  static bool WriteFrame(ByteStream& stream, proto::MsgType type, std::span<const uint8_t> body);
  static bool SendError(ByteStream& stream, proto::HandshakeError code, std::string_view text);
  static bool RejectOldApp(ByteStream& stream);
  static std::vector<uint8_t> DeriveKey(std::span<const uint8_t> prk, std::string_view label,
                                        std::span<const uint8_t, 32> transcriptHash, size_t length);

  bool Established() const { return established_; }

 private:
  AcceptResult Handshake(ByteStream& stream, std::string_view peer, Pairing& pairing, bool relay,
                         HandshakeResult& result);

  AesGcmKey sendKey_;
  std::array<uint8_t, 12> sendIv_{};
  uint64_t sendCounter_ = 0;
  AesGcmKey recvKey_;
  std::array<uint8_t, 12> recvIv_{};
  uint64_t recvCounter_ = 0;
  bool established_ = false;
};

// The nonce of one record: the IV with its last 8 bytes XORed with the counter.
std::array<uint8_t, 12> RecordNonce(const std::array<uint8_t, 12>& iv, uint64_t counter);

}  // namespace kelm
