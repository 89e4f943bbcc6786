#pragma once
// The paired-device store and the pairing policy: which devices are trusted, what
// code a new device must know, and the guard against guessing that code.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/host_identity.h"
#include "core/secret_bytes.h"

namespace kelm {

using DeviceKey = std::array<uint8_t, 65>;  // uncompressed P-256, first byte 0x04

struct PairingClock {
  std::function<uint64_t()> monotonicMs;
  std::function<int64_t()> unixSeconds;
  std::function<uint64_t()> totpStep;
  static PairingClock System();
};

enum class PairingMethod : uint8_t { Pin = 0, Authenticator = 1, Off = 2 };

struct PairingPolicy {
  PairingMethod method = PairingMethod::Pin;
  uint32_t pin = 0;  // 0: none
  SecretBytes authenticatorSecret;
  bool codeEveryTime = false;
};

struct PairedDevice {
  std::string id;  // key fingerprint, always derived
  std::string name;
  DeviceKey key{};
  int64_t pairedAt = 0;
  int64_t lastSeen = 0;  // 0: never
};

class Pairing {
 public:
  static constexpr size_t kMaxDevices = 64;
  static constexpr size_t kMaxNameBytes = 64;
  static constexpr uint64_t kPinWindowMs = 300000;

  explicit Pairing(PairingClock clock = PairingClock::System());
  ~Pairing();
  Pairing(const Pairing&) = delete;
  Pairing& operator=(const Pairing&) = delete;

  // Reads "devices.json", then opens (or creates) the PC's identity key.
  bool Load();

  void SetPolicy(PairingPolicy policy);
  PairingPolicy Policy() const;
  void NotePcWindowOpen();
  void SetPinAlwaysValid(bool always);
  void SetChangedCallback(std::function<void()> callback);
  void SetPausedCallback(std::function<void(const std::string&)> callback);

  std::vector<PairedDevice> Devices() const;
  bool IsPaired(const DeviceKey& key) const;
  void AddDevice(const DeviceKey& key, std::string_view name);
  bool RemoveDevice(std::string_view id);
  void TouchLastSeen(const DeviceKey& key);

  // The code a device must know for `kind` (0 PIN, 1 authenticator) or, when none
  // applies, no value and the reason to tell the device.
  std::optional<std::string> ExpectedCode(uint8_t kind, uint64_t step, bool& mayPairNew,
                                          std::string& reason) const;
  // Milliseconds the source stays blocked (nothing charged), or 0: allowed and charged.
  uint64_t ChargeAttempt(std::string_view peer);
  void NoteCodeAccepted(std::string_view peer);
  void NoteAuthenticatorStepUsed(uint8_t kind, uint64_t step);

  HostIdentity& Identity() { return identity_; }
  std::wstring FilePath() const;

 private:
  struct Guard {
    uint32_t count = 0;
    uint64_t blockedUntil = 0;
  };

  void LoadFileLocked();
  void SaveLocked() const;
  void NotifyChanged();

  PairingClock clock_;
  HostIdentity identity_;
  mutable std::mutex mutex_;
  PairingPolicy policy_;
  std::vector<PairedDevice> devices_;
  uint64_t lastAuthenticatorStep_ = 0;
  std::function<void()> changed_;
  std::map<std::string, Guard> guards_;
  std::deque<uint64_t> attempts_;
  uint64_t lockedUntil_ = 0;
  uint32_t lockLevel_ = 0;
  uint64_t pinDeadline_ = 0;
  bool pinAlwaysValid_ = false;
  std::function<void(const std::string&)> paused_;
};

// The wrong-code guard's key for a peer: IPv6 peers share their /64.
std::string PairingSourceKey(std::string_view peer);

}  // namespace kelm
