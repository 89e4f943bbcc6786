#pragma once
// The relay client's pure rules: which connect requests it refuses, which phone ids
// it announces, which ICE entry it uses and how it names a phone's connection.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "connect/relay_ice.h"

namespace kelm {

inline constexpr char kRefuseDisabled[] = "disabled";
inline constexpr char kRefuseNotPaired[] = "not-paired";
inline constexpr char kRefuseRateLimited[] = "rate-limited";
inline constexpr char kRefuseBusy[] = "busy";

inline constexpr size_t kRelayAcceptedPerWindow = 20;
inline constexpr uint64_t kRelayRateWindowUs = 60000000;
inline constexpr size_t kRelayRequestThreadsMax = 4;
inline constexpr size_t kRelayPhonesMax = 64;
inline constexpr size_t kRelayLabelChars = 16;

// The reason to refuse a request, or nothing to accept it. The first rule that
// applies decides.
std::optional<std::string_view> RelayRequestRefusal(bool enabled, bool stopping, bool paired,
                                                    size_t acceptedInWindow, size_t runningRequests);

struct PhoneSeen {
  int64_t lastSeen = 0;
  std::string id;  // the phone id of the device's key
};
// The phone ids the hello announces: the 64 most recently seen, in ascending byte
// order, each once.
std::vector<std::string> RelayPhoneList(std::vector<PhoneSeen> phones);

// The first "stun:" entry of the relay's list, or empty when there is none.
std::string FirstStunEntry(std::span<const std::string> iceServers);

// "relayed" when either side of the pair is a relay candidate, else "direct".
std::string_view RelayPathKind(const std::optional<IceCandidatePair>& pair);
// "connect {label} {remote address} ({remote type})", or "connect {label} " when the
// pair is unknown.
std::string RelayPeerText(std::string_view label, const std::optional<IceCandidatePair>& pair);
// The first 16 characters of a phone id.
std::string RelayLabel(std::string_view phoneId);

// The server's wait address for this PC: trailing '/' removed, then
// "/v1/pcs/{pcId}/wait".
std::string MakeWaitUrl(std::string_view server, std::string_view pcId);

// Lets one line per key through every `windowMs`; the lines in between are only
// counted, so a flood of refusals cannot flood the log.
class LogThrottle {
 public:
  explicit LogThrottle(uint64_t windowMs) : windowMs_(windowMs) {}
  // True when a line for `key` may be logged now; `suppressed` receives how many
  // were held back since the last one that was.
  bool Allow(const std::string& key, uint64_t nowMs, uint64_t& suppressed);
  void Clear() { keys_.clear(); }

 private:
  struct Entry {
    uint64_t lastMs = 0;
    uint64_t suppressed = 0;
  };
  uint64_t windowMs_;
  std::map<std::string, Entry> keys_;
};

}  // namespace kelm
