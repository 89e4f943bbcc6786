#pragma once
// The device's side of the session protocol, written for tests from the protocol's
// description (it shares only the primitives, never the host's handshake code).
#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_stream.h"
#include "core/crypto.h"

namespace kelm::test {

using Bytes = std::vector<uint8_t>;

// A device's identity: an ephemeral CNG ECDSA P-256 key standing in for the key
// the companion app keeps.
class DeviceIdentity {
 public:
  DeviceIdentity();
  ~DeviceIdentity();
  DeviceIdentity(const DeviceIdentity&) = delete;
  DeviceIdentity& operator=(const DeviceIdentity&) = delete;
  const std::array<uint8_t, 65>& PublicKey() const { return publicKey_; }
  std::array<uint8_t, 64> Sign(const std::array<uint8_t, 32>& hash) const;

 private:
  BCRYPT_KEY_HANDLE key_ = nullptr;
  std::array<uint8_t, 65> publicKey_{};
};

struct PairingCode {
  uint8_t kind = 0;  // 0 PIN, 1 authenticator
  uint64_t step = 0;
  std::string code;
};

struct HandshakeOptions {
  std::string name = "Test tablet";
  std::optional<PairingCode> pairing;
  uint8_t version = 1;
};

struct HandshakeOutcome {
  bool hostHello = false;         // a HostHello with status 0 arrived
  bool hostProofValid = false;    // the host's proof opened and verified
  std::optional<uint8_t> errorCode;  // an error reply
  std::string errorText;
  bool admissionReceived = false;
  uint8_t admissionResult = 0xFF;
  uint8_t pairingMethod = 0xFF;
  bool newlyPaired = false;
  std::string admissionMessage;
  Bytes hostIdentityKey;
};

class DeviceClient {
 public:
  explicit DeviceClient(ByteStream& stream) : stream_(stream) {}

  HandshakeOutcome Handshake(const DeviceIdentity& identity, const HandshakeOptions& options);

  bool SendRecord(uint8_t type, const Bytes& payload);
  // One whole record as it goes on the wire (empty when sealing failed); the next
  // record's counter moves on as if it had been sent.
  Bytes SealRecord(uint8_t type, const Bytes& payload);
  bool ReadRecord(uint8_t& type, Bytes& payload);
  // Sends raw bytes (for malformed-input tests).
  bool SendRaw(const Bytes& bytes) { return stream_.Write(bytes.data(), bytes.size()); }
  bool ReadPlainFrame(uint8_t& type, Bytes& body);
  bool SendPlainFrame(uint8_t type, const Bytes& body);

 private:
  ByteStream& stream_;
  AesGcmKey sendKey_;  // device to host
  AesGcmKey recvKey_;
  std::array<uint8_t, 12> sendIv_{};
  std::array<uint8_t, 12> recvIv_{};
  uint64_t sendCounter_ = 0;
  uint64_t recvCounter_ = 0;
};

// A Hello payload for tests: the fields a test usually sets, the rest zero.
struct HelloFields {
  uint16_t versionMax = 3;
  uint16_t versionMin = 2;  // 0: sent without the minimum trailer
  uint16_t panelWidth = 1600, panelHeight = 1000, dpi = 240;
  uint16_t fps = 60;
  uint32_t kbps = 0;
  uint8_t displayMode = 1;
  std::string name = "Hello tablet";
  uint8_t featureFlags = 0;
  uint8_t flags = 0;            // bit 1: the device decodes HEVC
  uint8_t codecPreference = 0;  // 1: HEVC
  // Display set-up: the virtual monitor's wanted size (0 = the panel's), the two values
  // passed to the display driver, which PC display to mirror, and the display options.
  uint16_t displayWidth = 0, displayHeight = 0;
  uint16_t monitorParamA = 0, monitorParamB = 0;
  uint8_t mirrorIndex = 0;
  uint16_t displayScale = 0;
  uint8_t displayFlags = 0;
};
Bytes BuildHello(const HelloFields& fields);

}  // namespace kelm::test
