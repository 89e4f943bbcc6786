#pragma once
// STUN messages (RFC 8489, with the TURN and ICE attributes): encoding with
// MESSAGE-INTEGRITY and FINGERPRINT, strict parsing, and their checks. Portable.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavro::connect {

inline constexpr uint32_t kStunMagicCookie = 0x2112A442;
inline constexpr size_t kStunHeaderSize = 20;
inline constexpr uint32_t kStunFingerprintXor = 0x5354554E;

// Message types (method and class combined).
inline constexpr uint16_t kStunBindingRequest = 0x0001;
inline constexpr uint16_t kStunBindingIndication = 0x0011;
inline constexpr uint16_t kStunBindingSuccess = 0x0101;
inline constexpr uint16_t kStunBindingError = 0x0111;
inline constexpr uint16_t kTurnAllocateRequest = 0x0003;
inline constexpr uint16_t kTurnAllocateSuccess = 0x0103;
inline constexpr uint16_t kTurnAllocateError = 0x0113;
inline constexpr uint16_t kTurnRefreshRequest = 0x0004;
inline constexpr uint16_t kTurnRefreshSuccess = 0x0104;
inline constexpr uint16_t kTurnRefreshError = 0x0114;
inline constexpr uint16_t kTurnSendIndication = 0x0016;
inline constexpr uint16_t kTurnDataIndication = 0x0017;
inline constexpr uint16_t kTurnCreatePermissionRequest = 0x0008;
inline constexpr uint16_t kTurnCreatePermissionSuccess = 0x0108;
inline constexpr uint16_t kTurnCreatePermissionError = 0x0118;
inline constexpr uint16_t kTurnChannelBindRequest = 0x0009;
inline constexpr uint16_t kTurnChannelBindSuccess = 0x0109;
inline constexpr uint16_t kTurnChannelBindError = 0x0119;

// Attribute types.
inline constexpr uint16_t kStunAttrMappedAddress = 0x0001;
inline constexpr uint16_t kStunAttrUsername = 0x0006;
inline constexpr uint16_t kStunAttrMessageIntegrity = 0x0008;
inline constexpr uint16_t kStunAttrErrorCode = 0x0009;
inline constexpr uint16_t kStunAttrUnknownAttributes = 0x000A;
inline constexpr uint16_t kStunAttrChannelNumber = 0x000C;
inline constexpr uint16_t kStunAttrLifetime = 0x000D;
inline constexpr uint16_t kStunAttrXorPeerAddress = 0x0012;
inline constexpr uint16_t kStunAttrData = 0x0013;
inline constexpr uint16_t kStunAttrRealm = 0x0014;
inline constexpr uint16_t kStunAttrNonce = 0x0015;
inline constexpr uint16_t kStunAttrXorRelayedAddress = 0x0016;
inline constexpr uint16_t kStunAttrRequestedTransport = 0x0019;
inline constexpr uint16_t kStunAttrXorMappedAddress = 0x0020;
inline constexpr uint16_t kStunAttrPriority = 0x0024;
inline constexpr uint16_t kStunAttrUseCandidate = 0x0025;
inline constexpr uint16_t kStunAttrSoftware = 0x8022;
inline constexpr uint16_t kStunAttrFingerprint = 0x8028;
inline constexpr uint16_t kStunAttrIceControlled = 0x8029;
inline constexpr uint16_t kStunAttrIceControlling = 0x802A;

inline constexpr size_t kStunIntegritySize = 20;

// Error codes used by ICE and TURN.
inline constexpr int kStunErrorBadRequest = 400;
inline constexpr int kStunErrorUnauthorized = 401;
inline constexpr int kStunErrorStaleNonce = 438;
inline constexpr int kStunErrorRoleConflict = 487;

using StunTransactionId = std::array<uint8_t, 12>;

// An IPv4 or IPv6 transport address.
struct StunAddress {
  bool v6 = false;
  std::array<uint8_t, 16> ip{};  // IPv4 uses the first 4 bytes
  uint16_t port = 0;
  bool operator==(const StunAddress&) const = default;
  // "1.2.3.4" or "::1" (no port).
  std::string IpText() const;
  // Parses a numeric IPv4 or IPv6 literal (never a name).
  static std::optional<StunAddress> FromIp(std::string_view text, uint16_t port);
};

struct StunAttribute {
  uint16_t type = 0;
  std::vector<uint8_t> value;
};

struct StunMessage {
  uint16_t type = 0;
  StunTransactionId transaction{};
  std::vector<StunAttribute> attributes;
  // Where MESSAGE-INTEGRITY and FINGERPRINT began in the parsed bytes (0: absent).
  size_t integrityOffset = 0;
  size_t fingerprintOffset = 0;

  const StunAttribute* Find(uint16_t attrType) const;
  void Add(uint16_t attrType, std::span<const uint8_t> value);
  void AddText(uint16_t attrType, std::string_view text);
  void AddU32(uint16_t attrType, uint32_t value);
  void AddU64(uint16_t attrType, uint64_t value);
  void AddXorAddress(uint16_t attrType, const StunAddress& address);
  void AddErrorCode(int code, std::string_view reason);

  std::optional<uint32_t> U32(uint16_t attrType) const;
  std::optional<std::string> Text(uint16_t attrType) const;
  std::optional<StunAddress> XorAddress(uint16_t attrType) const;
  // The ERROR-CODE number (300..699), if present and well formed.
  std::optional<int> ErrorCode() const;
};

// Deliberate damage for tests that show a peer checks our messages.
struct StunEncodeFaults {
  bool corruptIntegrity = false;
  bool corruptFingerprint = false;
};

// The message, with MESSAGE-INTEGRITY keyed by integrityKey when it is not empty, and
// FINGERPRINT when asked.
std::vector<uint8_t> EncodeStun(const StunMessage& message, std::span<const uint8_t> integrityKey,
                                bool fingerprint = true, StunEncodeFaults faults = {});

// True when the datagram looks like STUN (first bits zero, the magic cookie).
bool LooksLikeStun(std::span<const uint8_t> bytes);

// A well-formed message, or nothing: length fields consistent, attributes padded and
// inside the message, MESSAGE-INTEGRITY and FINGERPRINT of the right size and placed right.
std::optional<StunMessage> ParseStun(std::span<const uint8_t> bytes);

bool StunFingerprintValid(std::span<const uint8_t> bytes, const StunMessage& parsed);
bool StunIntegrityValid(std::span<const uint8_t> bytes, const StunMessage& parsed,
                        std::span<const uint8_t> key);

inline std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace tavro::connect
