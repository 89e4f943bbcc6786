#include "core/pairing.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <format>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "core/crypto.h"
#include "core/durable_file.h"
#include "core/devices_file.h"
#include "core/encoding.h"
#include "core/file_lock.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/otp.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/utf8.h"

namespace kelm {
namespace {

using Json = nlohmann::json;

int64_t SystemUnixSeconds() {
  FILETIME ft{};
  GetSystemTimeAsFileTime(&ft);
  const uint64_t t = (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t / 10000000) - 11644473600LL;
}

std::string Fingerprint(const DeviceKey& key) { return KeyFingerprint(key); }

}  // namespace

// Device names arrive from the network: keep them valid UTF-8 (the JSON writer
// refuses anything else) and cut them without splitting a character.
std::string StoredDeviceName(std::string_view name) {
  if (name.empty()) {
    return "Device";
  }
  return std::string(msg::CutAtCharacter(SanitizeUtf8(name), Pairing::kMaxNameBytes));
}

PairingClock PairingClock::System() {
  return PairingClock{[] { return static_cast<uint64_t>(GetTickCount64()); }, SystemUnixSeconds,
                      [] { return TotpTimeStep(); }};
}

std::string PairingSourceKey(std::string_view peer) {
  const std::string text(peer);
  if (text.starts_with("::ffff:") || text.find(':') == std::string::npos) {
    return text;
  }
  IN6_ADDR address{};
  if (inet_pton(AF_INET6, text.c_str(), &address) != 1) {
    return text;
  }
  const uint8_t* b = address.s6_addr;
  return std::format("{:02x}{:02x}:{:02x}{:02x}:{:02x}{:02x}:{:02x}{:02x}::/64", b[0], b[1], b[2], b[3],
                     b[4], b[5], b[6], b[7]);
}

std::string SixDigitAuthenticatorCode(std::span<const uint8_t> secret, uint64_t step) {
  return HotpCode(secret, step, 6);
}

uint32_t RandomPin(const RandomSource& random) {
  // Draws again above the largest multiple of 900000 so every PIN is equally likely.
  constexpr uint32_t kSpan = 900000;
  constexpr uint32_t kLimit = 0xFFFFFFFFu / kSpan * kSpan;
  for (;;) {
    uint32_t v = 0;
    if (!random || !random(reinterpret_cast<uint8_t*>(&v), sizeof v)) {
      LogError("No random numbers for the pairing PIN - pairing with a PIN is off until the next start");
      return 0;
    }
    if (v < kLimit) {
      return v % kSpan + 100000;
    }
  }
}

Pairing::Pairing(PairingClock clock, AuthenticatorCodeFunction authenticatorCode)
    : clock_(std::move(clock)), authenticatorCode_(std::move(authenticatorCode)) {}

Pairing::~Pairing() { WipeBytes(policy_.authenticatorSecret.data(), policy_.authenticatorSecret.size()); }

std::wstring Pairing::FilePath() const { return RoamingDataDir() + L"\\devices.json"; }

bool Pairing::Load() {
  {
    std::lock_guard lock(mutex_);
    LoadFileLocked();
  }
  if (!identity_.Open()) {
    return false;
  }
  LogInfo("PC identity {} ({})", KeyFingerprint(identity_.PublicKey()),
          identity_.hardware ? "TPM" : "software key store");
  return true;
}

namespace {

enum class FileRead { Missing, Read, Invalid };

// Reads "devices.json" into `devices` (records before a bad value stay) and, when the
// whole file is good, `lastStep`.
FileRead ReadDevicesFile(const std::wstring& path, std::vector<PairedDevice>& devices, uint64_t& lastStep,
                         std::string& error) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) {
    return FileRead::Missing;
  }
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  DevicesDocument doc;
  const bool whole = ParseDevicesDocument(text, Base64Decode, doc, error);
  devices.insert(devices.end(), std::make_move_iterator(doc.devices.begin()),
                 std::make_move_iterator(doc.devices.end()));
  if (!whole) {
    return FileRead::Invalid;
  }
  lastStep = doc.lastAuthenticatorStep;
  return FileRead::Read;
}

}  // namespace

void Pairing::LoadFileLocked() {
  devices_.clear();
  std::string error;
  if (ReadDevicesFile(FilePath(), devices_, lastAuthenticatorStep_, error) == FileRead::Invalid) {
    LogWarn("Could not read the paired devices list: {}", error);
  }
}

void Pairing::ReloadFileLocked() {
  std::vector<PairedDevice> devices;
  uint64_t lastStep = 0;
  std::string error;
  // Only a whole, readable file replaces what this process knows: a missing or
  // damaged one must not wipe the list before it is saved again.
  if (ReadDevicesFile(FilePath(), devices, lastStep, error) != FileRead::Read) {
    return;
  }
  devices_ = std::move(devices);
  lastAuthenticatorStep_ = std::max(lastAuthenticatorStep_, lastStep);
}

bool Pairing::UpdateFileLocked(const std::function<bool()>& change) {
  const FileLock fileLock(FilePath());
  if (!fileLock.held()) {
    LogWarn("Could not lock the paired devices list - saving it without the lock");
  }
  ReloadFileLocked();
  if (!change()) {
    return false;
  }
  SaveLocked();
  return true;
}

void Pairing::SaveLocked() const {
  std::string text;
  try {
    Json doc;
    Json list = Json::array();
    for (const PairedDevice& d : devices_) {
      list.push_back(Json{{"key", Base64Encode(d.key)},
                          {"lastSeen", d.lastSeen},
                          {"name", d.name},
                          {"pairedAt", d.pairedAt}});
    }
    doc["devices"] = std::move(list);
    doc["lastAuthenticatorStep"] = lastAuthenticatorStep_;
    text = doc.dump(2);
  } catch (const std::exception& e) {
    // Never let a bad record end the calling thread; the old file stays in place.
    LogWarn("Could not save the paired devices list ({})", e.what());
    return;
  }
  uint32_t error = 0;
  switch (WriteFileDurably(FilePath(), text, error)) {
    case DurableWrite::Written:
      return;
    case DurableWrite::TemporaryFailed:
      LogWarn("Could not save the paired devices list");
      return;
    case DurableWrite::MoveFailed:
      LogWarn("Could not save the paired devices list ({})", Win32ErrorText(error));
      return;
  }
}

void Pairing::NotifyChanged() {
  std::function<void()> callback;
  {
    std::lock_guard lock(mutex_);
    callback = changed_;
  }
  if (callback) {
    callback();
  }
}

void Pairing::SetPolicy(PairingPolicy policy) {
  std::lock_guard lock(mutex_);
  WipeBytes(policy_.authenticatorSecret.data(), policy_.authenticatorSecret.size());
  policy_ = std::move(policy);
}

PairingPolicy Pairing::Policy() const {
  std::lock_guard lock(mutex_);
  return policy_;
}

void Pairing::NotePcWindowOpen() {
  std::lock_guard lock(mutex_);
  pinDeadline_ = clock_.monotonicMs() + kPinWindowMs;
}

void Pairing::SetPinAlwaysValid(bool always) {
  std::lock_guard lock(mutex_);
  pinAlwaysValid_ = always;
}

void Pairing::SetChangedCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  changed_ = std::move(callback);
}

void Pairing::SetPausedCallback(std::function<void(const std::string&)> callback) {
  std::lock_guard lock(mutex_);
  paused_ = std::move(callback);
}

std::vector<PairedDevice> Pairing::Devices() const {
  std::lock_guard lock(mutex_);
  return devices_;
}

bool Pairing::IsPaired(const DeviceKey& key) const {
  std::lock_guard lock(mutex_);
  return std::any_of(devices_.begin(), devices_.end(), [&](const PairedDevice& d) { return d.key == key; });
}

void Pairing::AddDevice(const DeviceKey& key, std::string_view name) {
  {
    std::lock_guard lock(mutex_);
    UpdateFileLocked([&] {
      const int64_t now = clock_.unixSeconds();
      auto it =
          std::find_if(devices_.begin(), devices_.end(), [&](const PairedDevice& d) { return d.key == key; });
      if (it == devices_.end()) {
        if (devices_.size() >= kMaxDevices) {
          devices_.erase(std::min_element(devices_.begin(), devices_.end(),
                                          [](const PairedDevice& a, const PairedDevice& b) {
                                            return a.lastSeen < b.lastSeen;
                                          }));
        }
        PairedDevice device;
        device.id = Fingerprint(key);
        device.key = key;
        device.pairedAt = now;
        devices_.push_back(std::move(device));
        it = devices_.end() - 1;
      }
      it->name = StoredDeviceName(name);
      it->lastSeen = now;
      return true;
    });
  }
  NotifyChanged();
}

bool Pairing::RemoveDevice(std::string_view id) {
  {
    std::lock_guard lock(mutex_);
    const bool removed = UpdateFileLocked(
        [&] { return std::erase_if(devices_, [&](const PairedDevice& d) { return d.id == id; }) != 0; });
    if (!removed) {
      return false;
    }
  }
  NotifyChanged();
  return true;
}

void Pairing::TouchLastSeen(const DeviceKey& key) {
  {
    std::lock_guard lock(mutex_);
    UpdateFileLocked([&] {
      const int64_t now = clock_.unixSeconds();
      for (PairedDevice& d : devices_) {
        if (d.key == key) {
          d.lastSeen = now;
        }
      }
      return true;
    });
  }
  NotifyChanged();
}

std::optional<std::string> Pairing::ExpectedCode(uint8_t kind, uint64_t step, bool& mayPairNew,
                                                 std::string& reason) const {
  mayPairNew = false;
  std::lock_guard lock(mutex_);
  const PairingMethod method = policy_.method;
  if (kind == 0) {
    if (method == PairingMethod::Pin && policy_.pin != 0) {
      if (!pinAlwaysValid_ && clock_.monotonicMs() > pinDeadline_) {
        reason = "Open tavro on the PC to pair with its PIN (the PIN works while the tavro window is open).";
        return std::nullopt;
      }
      mayPairNew = true;
      return std::format("{:06}", policy_.pin);
    }
    reason = method == PairingMethod::Authenticator
                 ? "This PC pairs new devices with an authenticator app code, not a PIN."
                 : "Pairing new devices is turned off on this PC.";
    return std::nullopt;
  }
  if (kind == 1) {
    if (!policy_.authenticatorSecret.empty() &&
        (method == PairingMethod::Authenticator || policy_.codeEveryTime)) {
      const uint64_t s = clock_.totpStep();
      if (step + 1 < s || step > s + 1) {
        reason = "The authenticator code has expired. Check that the time on this device and the PC is correct.";
        return std::nullopt;
      }
      if (step <= lastAuthenticatorStep_) {
        reason = "This authenticator code was already used. Wait for the next code.";
        return std::nullopt;
      }
      std::string code = authenticatorCode_ ? authenticatorCode_(policy_.authenticatorSecret, step) : std::string();
      // An empty or short code would be a password anyone can match: refuse instead.
      if (code.size() != 6 || !std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        WipeBytes(reinterpret_cast<uint8_t*>(code.data()), code.size());
        LogError("Could not compute the authenticator code - pairing attempt refused");
        reason = "The PC could not check the authenticator code. Try again.";
        return std::nullopt;
      }
      mayPairNew = method == PairingMethod::Authenticator;
      return code;
    }
    reason = method == PairingMethod::Pin ? "This PC pairs new devices with a PIN, not an authenticator code."
                                          : "Pairing new devices is turned off on this PC.";
    return std::nullopt;
  }
  reason = "Unknown pairing code type.";
  return std::nullopt;
}

uint64_t Pairing::ChargeAttempt(std::string_view peer) { return ChargeSource(peer, true).blockedMs; }

Pairing::Charge Pairing::ChargePairedDeviceCode(std::string_view peer) { return ChargeSource(peer, false); }

Pairing::Charge Pairing::ChargeSource(std::string_view peer, bool globalLockRefuses) {
  const std::string source = PairingSourceKey(peer);
  std::string pausedText;
  std::function<void(const std::string&)> paused;
  Charge charge;
  {
    std::lock_guard lock(mutex_);
    const uint64_t now = clock_.monotonicMs();
    Guard& entry = guards_[source];
    const uint64_t until = globalLockRefuses ? std::max(lockedUntil_, entry.blockedUntil) : entry.blockedUntil;
    if (until > now) {
      charge.blockedMs = until - now;
      return charge;
    }
    entry.count += 1;
    if (entry.count >= 3) {
      const uint64_t block = std::min<uint64_t>(30000ULL << std::min<uint32_t>(entry.count - 3, 7), 3600000);
      entry.blockedUntil = now + block;
    }
    attempts_.push_back(now);
    while (!attempts_.empty() && now - attempts_.front() > 600000) {
      attempts_.pop_front();
    }
    if (attempts_.size() >= 10) {
      const uint64_t minutes = std::min<uint64_t>(5ULL << std::min<uint32_t>(lockLevel_, 9), 1440);
      lockLevel_ += 1;
      lockedUntil_ = now + minutes * 60000;
      attempts_.clear();
      LogWarn("Too many wrong pairing codes - pairing new devices is locked for {} minutes", minutes);
      pausedText = std::format(
          "Someone entered several wrong pairing codes. Pairing new devices is paused for {} minutes.", minutes);
      paused = paused_;
    }
    if (guards_.size() > 1024) {
      std::erase_if(guards_, [&](const auto& item) {
        return item.first != source && item.second.blockedUntil < now;
      });
    }
    charge.globalLockMs = lockedUntil_ > now ? lockedUntil_ - now : 0;
  }
  if (!pausedText.empty() && paused) {
    paused(pausedText);
  }
  return charge;
}

void Pairing::NoteCodeAccepted(std::string_view peer) {
  std::lock_guard lock(mutex_);
  guards_.erase(PairingSourceKey(peer));
  lockLevel_ = 0;
  // A global lock may have cleared the queue since this attempt was charged.
  if (!attempts_.empty()) {
    attempts_.pop_back();
  }
}

void Pairing::NoteAuthenticatorStepUsed(uint8_t kind, uint64_t step) {
  if (kind != 1) {
    return;
  }
  std::lock_guard lock(mutex_);
  UpdateFileLocked([&] {
    lastAuthenticatorStep_ = std::max(lastAuthenticatorStep_, step);
    return true;
  });
}

}  // namespace kelm
