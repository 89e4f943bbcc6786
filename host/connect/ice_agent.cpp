// The ICE agent's checks, nomination, consent and gathering.
#include "connect/ice_agent.h"

#include <algorithm>

namespace tavro::connect {
namespace {

constexpr size_t kUfragLength = 8;
constexpr size_t kPwdLength = 24;
constexpr uint64_t kNever = ~uint64_t{0};
constexpr std::string_view kIceChars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint64_t PairPriority(uint32_t controlling, uint32_t controlled) {
  uint64_t g = controlling, d = controlled;
  return (std::min(g, d) << 32) + 2 * std::max(g, d) + (g > d ? 1 : 0);
}

std::string Foundation(std::string_view type, const StunAddress& base) {
  // Same type and base: same foundation.
  uint32_t h = 2166136261u;
  auto mix = [&](uint8_t b) { h = (h ^ b) * 16777619u; };
  for (char c : type) mix(static_cast<uint8_t>(c));
  for (uint8_t b : base.ip) mix(b);
  return std::to_string(h % 100000000u);
}

}  // namespace

uint32_t CandidatePriority(uint32_t typePreference) {
  return (typePreference << 24) | (65535u << 8) | (256u - 1u);
}

IceAgent::IceAgent(SendFn send, RandomFn random, IceTimers timers, IceFaults faults)
    : send_(std::move(send)), random_(std::move(random)), timers_(timers), faults_(faults) {
  while (tieBreaker_ == 0) random_(reinterpret_cast<uint8_t*>(&tieBreaker_), sizeof tieBreaker_);
  localUfrag_ = RandomIceText(kUfragLength);
  localPwd_ = RandomIceText(kPwdLength);
}

std::string IceAgent::RandomIceText(size_t n) {
  std::vector<uint8_t> bytes(n);
  random_(bytes.data(), n);
  std::string out;
  for (uint8_t b : bytes) out += kIceChars[b % kIceChars.size()];
  return out;
}

StunTransactionId IceAgent::NewTransaction() {
  StunTransactionId id;
  random_(id.data(), id.size());
  return id;
}

std::vector<uint8_t> IceAgent::Encode(const StunMessage& m, std::string_view key) const {
  return EncodeStun(m, AsBytes(key), true,
                    {.corruptIntegrity = faults_.corruptIntegrity, .corruptFingerprint = faults_.corruptFingerprint});
}

std::vector<IceAgent::Event> IceAgent::TakeEvents() {
  std::vector<Event> out;
  out.swap(events_);
  return out;
}

void IceAgent::SetState(IceState state) {
  if (state_ == state) return;
  state_ = state;
  Emit({Event::kState, state, {}});
}

void IceAgent::SetHostAddresses(std::vector<StunAddress> addresses) { hostAddresses_ = std::move(addresses); }

void IceAgent::SetStunServer(std::optional<StunAddress> server) {
  if (server) stunGather_ = Gather{*server};
}

uint32_t IceAgent::LocalPriority(uint32_t typePreference) const { return CandidatePriority(typePreference); }

void IceAgent::StartGathering(uint64_t nowMs) {
  if (gatheringStarted_) return;
  gatheringStarted_ = true;
  for (const auto& address : hostAddresses_) {
    IceCandidate c;
    c.foundation = Foundation("host", address);
    c.priority = LocalPriority(kTypePrefHost);
    c.address = address.IpText();
    c.port = address.port;
    c.type = "host";
    localCandidates_.push_back(std::move(c));
  }
  if (state_ == IceState::Disconnected) SetState(IceState::Gathering);
  if (stunGather_) {
    stunGather_->transaction = NewTransaction();
    stunGather_->nextSend = nowMs;
  }
  lastNow_ = nowMs;
  for (auto& t : turns_) t->Start(nowMs);
  FinishGatheringIfDone();
  if (haveRemote_ && state_ == IceState::Gathering) SetState(IceState::Connecting);
}

void IceAgent::FinishGatheringIfDone() {
  if (gatheringDone_ || !gatheringStarted_) return;
  if (stunGather_ && !stunGather_->done) return;
  for (const auto& t : turns_) {
    if (!t->Finished()) return;
  }
  gatheringDone_ = true;
  Emit({Event::kGatheringDone, state_, {}});
}

bool IceAgent::SetRemoteDescription(std::string_view text, uint64_t nowMs) {
  if (haveRemote_) return false;
  auto description = ParseIceDescription(text);
  if (!description) return false;
  remoteUfrag_ = description->ufrag;
  remotePwd_ = description->pwd;
  haveRemote_ = true;
  remoteSetAt_ = nowMs;
  lastNow_ = nowMs;
  if (description->endOfCandidates) remoteGatheringDone_ = true;
  for (const auto& c : description->candidates) AddRemote(c);
  // Peer-reflexive remotes learned before the description waited for its credentials.
  for (size_t i = 0; i < pairs_.size(); ++i) {
    if (pairs_[i].state == PairState::Waiting && pairs_[i].validated) triggered_.push_back(i);
  }
  if (gatheringStarted_ && state_ == IceState::Gathering) SetState(IceState::Connecting);
  nextPacing_ = nowMs;
  return true;
}

void IceAgent::SetRemoteGatheringDone() { remoteGatheringDone_ = true; }

std::string IceAgent::LocalDescription() const {
  IceDescription d;
  d.ufrag = localUfrag_;
  d.pwd = localPwd_;
  d.ice2 = true;
  for (const auto& c : localCandidates_) {
    if (!relayOnly_ || c.type == "relay") d.candidates.push_back(c);
  }
  d.endOfCandidates = gatheringDone_;
  return WriteIceDescription(d);
}

void IceAgent::AddRemote(const IceCandidate& candidate) {
  auto address = StunAddress::FromIp(candidate.address, candidate.port);
  if (!address) return;
  bool known = std::any_of(remoteCandidates_.begin(), remoteCandidates_.end(), [&](const IceCandidate& c) {
    return c.address == candidate.address && c.port == candidate.port;
  });
  if (!known && remoteCandidates_.size() < kMaxRemoteCandidates * 2) remoteCandidates_.push_back(candidate);
  // Only pairs our socket can reach (same address family as one of our bases).
  bool reachable = std::any_of(hostAddresses_.begin(), hostAddresses_.end(),
                               [&](const StunAddress& a) { return a.v6 == address->v6; });
  if (reachable && !relayOnly_) AddPair(candidate, *address, -1);
  for (size_t k = 0; k < turns_.size(); ++k) {
    auto relayed = turns_[k]->Relayed();
    if (turnAnnounced_[k] && relayed && relayed->v6 == address->v6) AddPair(candidate, *address, static_cast<int>(k));
  }
}

void IceAgent::AddPair(const IceCandidate& candidate, const StunAddress& address, int relay) {
  if (FindPair(address, relay) != nullptr) return;
  if (pairs_.size() >= kMaxRemoteCandidates * 3) return;
  Pair pair;
  pair.relay = relay;
  pair.remote = candidate;
  pair.remoteAddress = address;
  uint32_t local = LocalPriority(relay < 0 ? kTypePrefHost : kTypePrefRelayed);
  pair.priority = controlling_ ? PairPriority(local, candidate.priority) : PairPriority(candidate.priority, local);
  pairs_.push_back(std::move(pair));
  if (relay >= 0) turns_[static_cast<size_t>(relay)]->Permit(address, lastNow_);
}

IceAgent::Pair* IceAgent::FindPair(const StunAddress& address, int relay) {
  for (auto& pair : pairs_) {
    if (pair.remoteAddress == address && pair.relay == relay) return &pair;
  }
  return nullptr;
}

void IceAgent::SendVia(const StunAddress& to, int relay, std::span<const uint8_t> bytes) {
  if (relay < 0) {
    send_(to, bytes);
  } else {
    turns_[static_cast<size_t>(relay)]->SendTo(to, bytes);
  }
}

void IceAgent::AddTurnServer(const StunAddress& server, const std::string& username, const std::string& password) {
  constexpr size_t kMaxTurnServers = 2;
  if (turns_.size() >= kMaxTurnServers) return;
  turns_.push_back(
      std::make_unique<TurnClient>(server, username, password, send_, random_, turnChannels_, turnAuthDelayMs_));
  turnAnnounced_.push_back(false);
}

std::vector<TurnStats> IceAgent::TurnStatistics() const {
  std::vector<TurnStats> out;
  for (const auto& t : turns_) out.push_back(t->Stats());
  return out;
}

// New allocations become relay candidates (and their mapped address a server-reflexive one).
void IceAgent::AnnounceAllocations(uint64_t now) {
  for (size_t k = 0; k < turns_.size(); ++k) {
    if (turnAnnounced_[k] || turns_[k]->GetState() != TurnClient::State::Allocated) continue;
    turnAnnounced_[k] = true;
    auto relayed = turns_[k]->Relayed();
    auto mapped = turns_[k]->Mapped();
    if (mapped && !hostAddresses_.empty()) {
      bool known = std::any_of(localCandidates_.begin(), localCandidates_.end(), [&](const IceCandidate& c) {
        return c.address == mapped->IpText() && c.port == mapped->port && (c.type == "srflx" || !keepRedundant_);
      });
      if (!known) {
        IceCandidate c;
        c.foundation = Foundation("srflx", hostAddresses_.front());
        c.priority = LocalPriority(kTypePrefServerReflexive);
        c.address = mapped->IpText();
        c.port = mapped->port;
        c.type = "srflx";
        c.relatedAddress = hostAddresses_.front().IpText();
        c.relatedPort = hostAddresses_.front().port;
        localCandidates_.push_back(std::move(c));
      }
    }
    IceCandidate c;
    c.foundation = Foundation("relay", turns_[k]->Server());
    c.priority = LocalPriority(kTypePrefRelayed);
    c.address = relayed->IpText();
    c.port = relayed->port;
    c.type = "relay";
    if (mapped) {
      c.relatedAddress = mapped->IpText();
      c.relatedPort = mapped->port;
    }
    localCandidates_.push_back(std::move(c));
    // Pairs with the remotes known so far.
    std::vector<IceCandidate> remotes = remoteCandidates_;
    for (const auto& r : remotes) {
      if (auto address = StunAddress::FromIp(r.address, r.port); address && address->v6 == relayed->v6) {
        AddPair(r, *address, static_cast<int>(k));
      }
    }
    (void)now;
  }
}

IceAgent::Pair* IceAgent::Selected() { return selected_ ? &pairs_[*selected_] : nullptr; }

void IceAgent::Select(Pair& pair, uint64_t now) {
  size_t index = static_cast<size_t>(&pair - pairs_.data());
  if (!selected_ || (pair.nominated && !pairs_[*selected_].nominated)) {
    selected_ = index;
    consent_.lastAnswer = now;
    consent_.nextSend = now + timers_.consentIntervalMs;
  }
  if (pair.nominated && selected_ == index) {
    SetState(IceState::Completed);
  } else if (state_ != IceState::Completed) {
    SetState(IceState::Connected);
  }
}

void IceAgent::StartCheck(Pair& pair, uint64_t now) {
  pair.state = PairState::InProgress;
  pair.transaction = NewTransaction();
  pair.transmits = 0;
  pair.rto = timers_.checkRtoMs;
  SendCheck(pair, now);
}

void IceAgent::SendCheck(Pair& pair, uint64_t now) {
  StunMessage m;
  m.type = kStunBindingRequest;
  m.transaction = pair.transaction;
  m.AddText(kStunAttrUsername, remoteUfrag_ + ":" + localUfrag_);
  m.AddU32(kStunAttrPriority, LocalPriority(kTypePrefPeerReflexive));
  if (controlling_) {
    m.AddU64(kStunAttrIceControlling, tieBreaker_);
    if (pair.useCandidate) m.Add(kStunAttrUseCandidate, {});
  } else {
    m.AddU64(kStunAttrIceControlled, tieBreaker_);
  }
  SendVia(pair.remoteAddress, pair.relay, Encode(m, remotePwd_));
  pair.transmits++;
  pair.nextSend = now + pair.rto;
  pair.rto = std::min(pair.rto * 2, timers_.checkRtoMaxMs);
}

void IceAgent::SendError(const StunAddress& to, int relay, const StunMessage& request, int code,
                         std::string_view reason, bool withIntegrity) {
  StunMessage m;
  m.type = static_cast<uint16_t>((request.type & 0x3EEF) | 0x0110);
  m.transaction = request.transaction;
  m.AddErrorCode(code, reason);
  SendVia(to, relay, withIntegrity ? Encode(m, localPwd_) : EncodeStun(m, {}, true));
}

void IceAgent::OnDatagram(const StunAddress& from, std::span<const uint8_t> bytes, uint64_t nowMs) {
  lastNow_ = nowMs;
  for (size_t k = 0; k < turns_.size(); ++k) {
    if (!(turns_[k]->Server() == from)) continue;
    std::optional<TurnClient::Inbound> inbound;
    if (turns_[k]->OnDatagram(bytes, nowMs, inbound)) {
      AnnounceAllocations(nowMs);
      FinishGatheringIfDone();
      if (inbound) OnPeerDatagram(inbound->peer, static_cast<int>(k), inbound->data, nowMs);
      return;
    }
  }
  OnPeerDatagram(from, -1, bytes, nowMs);
}

void IceAgent::OnPeerDatagram(const StunAddress& from, int relay, std::span<const uint8_t> bytes, uint64_t nowMs) {
  // Relay-only tests: nothing but server answers may arrive on the socket directly.
  if (relayOnly_ && relay < 0 && !(stunGather_ && from == stunGather_->server)) return;
  if (!LooksLikeStun(bytes)) {
    if (faults_.inboundDataLossPercent > 0) {
      lossState_ ^= lossState_ << 13;
      lossState_ ^= lossState_ >> 17;
      lossState_ ^= lossState_ << 5;
      if (lossState_ % 100 < faults_.inboundDataLossPercent) return;
    }
    Pair* pair = FindPair(from, relay);
    if (pair != nullptr && (pair->state == PairState::Succeeded || pair->validated)) {
      Emit({Event::kData, state_, std::vector<uint8_t>(bytes.begin(), bytes.end())});
    }
    return;
  }
  auto m = ParseStun(bytes);
  if (!m) return;
  // Every ICE and STUN-server message we accept carries a valid FINGERPRINT.
  if (!StunFingerprintValid(bytes, *m)) return;
  uint16_t cls = m->type & 0x0110;
  if (m->type == kStunBindingRequest) {
    HandleRequest(from, relay, bytes, *m, nowMs);
  } else if (cls == 0x0100 || cls == 0x0110) {
    HandleResponse(from, relay, bytes, *m, nowMs);
  }
}

void IceAgent::HandleRequest(const StunAddress& from, int relay, std::span<const uint8_t> bytes,
                             const StunMessage& m, uint64_t now) {
  auto username = m.Text(kStunAttrUsername);
  if (!username || m.integrityOffset == 0) {
    SendError(from, relay, m, kStunErrorBadRequest, "Bad Request", false);
    return;
  }
  if (!username->starts_with(localUfrag_ + ":") || !StunIntegrityValid(bytes, m, AsBytes(localPwd_))) {
    SendError(from, relay, m, kStunErrorUnauthorized, "Unauthorized", false);
    return;
  }
  if (haveRemote_ && username->substr(localUfrag_.size() + 1) != remoteUfrag_) {
    SendError(from, relay, m, kStunErrorUnauthorized, "Unauthorized", false);
    return;
  }
  // Role conflicts: the larger tie-breaker keeps (or takes) the controlling role.
  if (const StunAttribute* theirs = m.Find(controlling_ ? kStunAttrIceControlling : kStunAttrIceControlled);
      theirs != nullptr && theirs->value.size() == 8) {
    uint64_t tb = 0;
    for (uint8_t b : theirs->value) tb = (tb << 8) | b;
    bool weShouldControl = tieBreaker_ >= tb;
    if (weShouldControl == controlling_) {
      SendError(from, relay, m, kStunErrorRoleConflict, "Role Conflict", true);
      return;
    }
    controlling_ = !controlling_;
  }

  StunMessage response;
  response.type = kStunBindingSuccess;
  response.transaction = m.transaction;
  response.AddXorAddress(kStunAttrXorMappedAddress, from);
  SendVia(from, relay, Encode(response, localPwd_));

  Pair* pair = FindPair(from, relay);
  if (pair == nullptr) {
    IceCandidate prflx;
    prflx.foundation = Foundation("prflx", from);
    prflx.priority = m.U32(kStunAttrPriority).value_or(CandidatePriority(kTypePrefPeerReflexive));
    prflx.address = from.IpText();
    prflx.port = from.port;
    prflx.type = "prflx";
    AddPair(prflx, from, relay);
    pair = FindPair(from, relay);
    if (pair == nullptr) return;
  }
  pair->validated = true;
  if (!controlling_ && m.Find(kStunAttrUseCandidate) != nullptr) pair->nominated = true;
  if (pair->state == PairState::Succeeded) {
    if (pair->nominated) Select(*pair, now);
  } else if (pair->state != PairState::InProgress && haveRemote_) {
    size_t index = static_cast<size_t>(pair - pairs_.data());
    pair->state = PairState::Waiting;
    if (std::find(triggered_.begin(), triggered_.end(), index) == triggered_.end()) triggered_.push_front(index);
  }
}

void IceAgent::HandleResponse(const StunAddress& from, int relay, std::span<const uint8_t> bytes,
                              const StunMessage& m, uint64_t now) {
  // The STUN server's answer while gathering (no credentials).
  if (stunGather_ && !stunGather_->done && m.transaction == stunGather_->transaction) {
    stunGather_->done = true;
    if (m.type == kStunBindingSuccess) {
      if (auto mapped = m.XorAddress(kStunAttrXorMappedAddress)) {
        bool isHost = std::any_of(hostAddresses_.begin(), hostAddresses_.end(),
                                  [&](const StunAddress& a) { return a == *mapped; });
        if ((!isHost || keepRedundant_) && !hostAddresses_.empty()) {
          IceCandidate c;
          c.foundation = Foundation("srflx", hostAddresses_.front());
          c.priority = LocalPriority(kTypePrefServerReflexive);
          c.address = mapped->IpText();
          c.port = mapped->port;
          c.type = "srflx";
          c.relatedAddress = hostAddresses_.front().IpText();
          c.relatedPort = hostAddresses_.front().port;
          localCandidates_.push_back(std::move(c));
        }
      }
    }
    FinishGatheringIfDone();
    return;
  }
  if (!StunIntegrityValid(bytes, m, AsBytes(remotePwd_))) return;
  if (selected_ && std::find(consent_.recent.begin(), consent_.recent.end(), m.transaction) != consent_.recent.end()) {
    if (m.type == kStunBindingSuccess && from == pairs_[*selected_].remoteAddress &&
        relay == pairs_[*selected_].relay) {
      consent_.lastAnswer = now;
      consent_.answered++;
    }
    return;
  }
  for (auto& pair : pairs_) {
    if (pair.state != PairState::InProgress || pair.transaction != m.transaction) continue;
    if (!(from == pair.remoteAddress) || relay != pair.relay) {
      pair.state = PairState::Failed;  // not symmetric
      return;
    }
    if (m.type == kStunBindingError) {
      if (m.ErrorCode() == kStunErrorRoleConflict) {
        controlling_ = !controlling_;
        StartCheck(pair, now);
      } else {
        pair.state = PairState::Failed;
      }
      return;
    }
    pair.state = PairState::Succeeded;
    pair.validated = true;
    if (controlling_) {
      if (pair.useCandidate) {
        pair.nominated = true;
      } else if (!selected_ || !pairs_[*selected_].nominated) {
        // Nominate the first working pair with a second check carrying USE-CANDIDATE.
        Select(pair, now);
        pair.useCandidate = true;
        StartCheck(pair, now);
        return;
      }
    }
    Select(pair, now);
    return;
  }
}

bool IceAgent::Send(std::span<const uint8_t> data) {
  Pair* pair = Selected();
  if (pair == nullptr || state_ == IceState::Failed) return false;
  SendVia(pair->remoteAddress, pair->relay, data);
  return true;
}

std::optional<std::pair<std::string, std::string>> IceAgent::SelectedCandidateLines() const {
  if (!selected_) return std::nullopt;
  const Pair& pair = pairs_[*selected_];
  const IceCandidate* local = nullptr;
  std::optional<StunAddress> relayed;
  if (pair.relay >= 0) relayed = turns_[static_cast<size_t>(pair.relay)]->Relayed();
  for (const auto& c : localCandidates_) {
    auto address = StunAddress::FromIp(c.address, c.port);
    bool match = relayed ? (c.type == "relay" && address == relayed)
                         : (c.type == "host" && address->v6 == pair.remoteAddress.v6);
    if (match) {
      local = &c;
      break;
    }
  }
  if (local == nullptr) return std::nullopt;
  return std::make_pair("a=" + local->Attribute(), "a=" + pair.remote.Attribute());
}

uint64_t IceAgent::OnTimer(uint64_t now) {
  uint64_t next = kNever;
  auto want = [&](uint64_t at) { next = std::min(next, at); };
  lastNow_ = now;
  if (gatheringStarted_) {
    for (auto& t : turns_) want(t->OnTimer(now));
    AnnounceAllocations(now);
    FinishGatheringIfDone();
  }

  if (stunGather_ && gatheringStarted_ && !stunGather_->done) {
    if (now >= stunGather_->nextSend) {
      if (stunGather_->transmits >= timers_.gatherMaxTransmits) {
        stunGather_->done = true;
        FinishGatheringIfDone();
      } else {
        StunMessage m;
        m.type = kStunBindingRequest;
        m.transaction = stunGather_->transaction;
        send_(stunGather_->server, EncodeStun(m, {}, true));
        stunGather_->transmits++;
        stunGather_->nextSend = now + timers_.gatherRtoMs;
      }
    }
    if (!stunGather_->done) want(stunGather_->nextSend);
  }

  if (!haveRemote_ || !gatheringStarted_ || state_ == IceState::Failed) return next;

  // Retransmissions of checks in progress.
  for (auto& pair : pairs_) {
    if (pair.state != PairState::InProgress) continue;
    if (now >= pair.nextSend) {
      if (pair.transmits >= timers_.checkMaxTransmits) {
        pair.state = PairState::Failed;
        continue;
      }
      SendCheck(pair, now);
    }
    want(pair.nextSend);
  }

  // One new check per pacing tick: triggered ones first, then the best waiting pair.
  if (now >= nextPacing_) {
    Pair* chosen = nullptr;
    while (!triggered_.empty() && chosen == nullptr) {
      Pair& p = pairs_[triggered_.front()];
      triggered_.pop_front();
      if (p.state == PairState::Waiting) chosen = &p;
    }
    if (chosen == nullptr) {
      for (auto& p : pairs_) {
        if (p.state == PairState::Waiting && (chosen == nullptr || p.priority > chosen->priority)) chosen = &p;
      }
    }
    if (chosen != nullptr) {
      StartCheck(*chosen, now);
      want(chosen->nextSend);
      nextPacing_ = now + timers_.pacingMs;
    }
  }
  bool waiting = !triggered_.empty() || std::any_of(pairs_.begin(), pairs_.end(), [](const Pair& p) {
    return p.state == PairState::Waiting;
  });
  if (waiting) want(std::max(nextPacing_, now + 1));

  if (Pair* pair = Selected()) {
    // Consent freshness on the selected pair.
    if (now - consent_.lastAnswer >= timers_.consentTimeoutMs) {
      SetState(IceState::Failed);
      return next;
    }
    if (now >= consent_.nextSend) {
      constexpr size_t kRecentConsent = 8;
      consent_.recent.push_back(NewTransaction());
      if (consent_.recent.size() > kRecentConsent) consent_.recent.pop_front();
      consent_.sent++;
      StunMessage m;
      m.type = kStunBindingRequest;
      m.transaction = consent_.recent.back();
      m.AddText(kStunAttrUsername, remoteUfrag_ + ":" + localUfrag_);
      m.AddU32(kStunAttrPriority, LocalPriority(kTypePrefPeerReflexive));
      if (controlling_) {
        m.AddU64(kStunAttrIceControlling, tieBreaker_);
      } else {
        m.AddU64(kStunAttrIceControlled, tieBreaker_);
      }
      SendVia(pair->remoteAddress, pair->relay, Encode(m, remotePwd_));
      uint8_t jitter = 0;
      random_(&jitter, 1);
      // 0.8 to 1.2 times the interval, so that both sides do not fall into step.
      uint64_t interval = timers_.consentIntervalMs * (80 + jitter % 41) / 100;
      // Send a little faster when no answer came for a while (lost requests).
      if (now - consent_.lastAnswer > timers_.consentIntervalMs) interval = std::max<uint64_t>(interval / 4, 1);
      consent_.nextSend = now + interval;
    }
    want(consent_.nextSend);
    want(consent_.lastAnswer + timers_.consentTimeoutMs);
  } else {
    bool pending = waiting || std::any_of(pairs_.begin(), pairs_.end(), [](const Pair& p) {
      return p.state == PairState::InProgress;
    });
    if (now - remoteSetAt_ >= timers_.connectTimeoutMs ||
        (!pending && remoteGatheringDone_ && gatheringDone_ && !pairs_.empty())) {
      SetState(IceState::Failed);
      return next;
    }
    want(remoteSetAt_ + timers_.connectTimeoutMs);
  }
  return next;
}

}  // namespace tavro::connect
