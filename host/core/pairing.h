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
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto.h"
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

// Computes the 6-digit authenticator code for a secret and a time step; an empty
// or malformed result means the computation failed.
using AuthenticatorCodeFunction = std::function<std::string(std::span<const uint8_t> secret, uint64_t step)>;
std::string SixDigitAuthenticatorCode(std::span<const uint8_t> secret, uint64_t step);

// Fills a buffer with random bytes; false when the system cannot.
using RandomSource = std::function<bool(uint8_t* buffer, size_t count)>;
// A uniformly drawn six-digit PIN (100000..999999). When the random source fails it
// logs an ERROR line and returns 0, "no PIN", which refuses PIN pairing: a failure
// must never turn into a PIN anyone could guess.
uint32_t RandomPin(const RandomSource& random = RandomBytes);

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

  explicit Pairing(PairingClock clock = PairingClock::System(),
                   AuthenticatorCodeFunction authenticatorCode = SixDigitAuthenticatorCode);
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

  struct Charge {
    uint64_t blockedMs = 0;       // the source is blocked: nothing charged
    uint64_t globalLockMs = 0;    // pairing new keys is locked for this long
  };
  // For an authenticator code that paired devices give on every connection: the
  // global lock guards the pairing of new keys, so it does not refuse the attempt
  // here (the key is not known yet); the source's own block still does, and the
  // attempt is charged to the source as any other. The handshake refuses a key
  // that is not paired while `globalLockMs` is non-zero.
  Charge ChargePairedDeviceCode(std::string_view peer);
  void NoteCodeAccepted(std::string_view peer);
  void NoteAuthenticatorStepUsed(uint8_t kind, uint64_t step);

  HostIdentity& Identity() { return identity_; }
  std::wstring FilePath() const;

 private:
  struct Guard {
    uint32_t count = 0;
    uint64_t blockedUntil = 0;
  };

  Charge ChargeSource(std::string_view peer, bool globalLockRefuses);
  void LoadFileLocked();
  // Re-reads the file another host sharing this profile may have changed.
  void ReloadFileLocked();
  // Under the cross-process file lock: re-read, apply `change`, save when it
  // changed something (returns whether it did).
  bool UpdateFileLocked(const std::function<bool()>& change);
  void SaveLocked() const;
  void NotifyChanged();

  PairingClock clock_;
  AuthenticatorCodeFunction authenticatorCode_;
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

// A device name as the store keeps it: valid UTF-8, at most kMaxNameBytes bytes cut
// at a character boundary, "Device" when empty.
std::string StoredDeviceName(std::string_view name);

// The wrong-code guard's key for a peer: IPv6 peers share their /64.
std::string PairingSourceKey(std::string_view peer);

}  // namespace kelm
