// The relay client's pure rules for requests, phone lists and ICE entries.
#include "connect/relay_request_rules.h"

#include <algorithm>
#include <format>
#include <utility>

namespace kelm {

std::optional<std::string_view> RelayRequestRefusal(bool enabled, bool stopping, bool paired,
                                                    size_t acceptedInWindow, size_t runningRequests) {
  if (!enabled || stopping) return kRefuseDisabled;
  if (!paired) return kRefuseNotPaired;
  if (acceptedInWindow >= kRelayAcceptedPerWindow) return kRefuseRateLimited;
  if (runningRequests >= kRelayRequestThreadsMax) return kRefuseBusy;
  return std::nullopt;
}

std::vector<std::string> RelayPhoneList(std::vector<PhoneSeen> phones) {
  std::stable_sort(phones.begin(), phones.end(),
                   [](const PhoneSeen& a, const PhoneSeen& b) { return a.lastSeen > b.lastSeen; });
  if (phones.size() > kRelayPhonesMax) phones.resize(kRelayPhonesMax);
  std::vector<std::string> ids;
  ids.reserve(phones.size());
  for (PhoneSeen& p : phones) ids.push_back(std::move(p.id));
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

std::string FirstStunEntry(std::span<const std::string> iceServers) {
  for (const std::string& entry : iceServers) {
    if (entry.starts_with("stun:")) return entry;
  }
  return {};
}

std::string_view RelayPathKind(const std::optional<IceCandidatePair>& pair) {
  if (pair && (pair->localType == "relay" || pair->remoteType == "relay")) return "relayed";
  return "direct";
}

std::string RelayPeerText(std::string_view label, const std::optional<IceCandidatePair>& pair) {
  const std::string where = pair ? std::format("{} ({})", pair->remoteAddress, pair->remoteType) : std::string();
  return std::format("connect {} {}", label, where);
}

std::string RelayLabel(std::string_view phoneId) { return std::string(phoneId.substr(0, kRelayLabelChars)); }

bool LogThrottle::Allow(const std::string& key, uint64_t nowMs, uint64_t& suppressed) {
  suppressed = 0;
  auto [it, added] = keys_.try_emplace(key);
  Entry& e = it->second;
  if (!added && nowMs - e.lastMs < windowMs_) {
    ++e.suppressed;
    return false;
  }
  suppressed = std::exchange(e.suppressed, 0);
  e.lastMs = nowMs;
  return true;
}

std::string MakeWaitUrl(std::string_view server, std::string_view pcId) {
  while (!server.empty() && server.back() == '/') server.remove_suffix(1);
  return std::format("{}/v1/pcs/{}/wait", server, pcId);
}

}  // namespace kelm
