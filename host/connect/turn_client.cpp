// The TURN client's transactions, refresh timers and data framing.
#include "connect/turn_client.h"

#include <algorithm>

#include "connect/stun_hash.h"

namespace tavro::connect {
namespace {

constexpr uint32_t kUdpTransport = 17u << 24;  // REQUESTED-TRANSPORT: UDP
constexpr uint32_t kRtoMs = 250;
constexpr int kMaxTransmits = 6;
constexpr int kMaxStaleRetries = 3;
constexpr uint64_t kPermissionRefreshMs = 240000;  // permissions last 300 s
constexpr uint64_t kChannelRefreshMs = 540000;     // channels last 600 s
constexpr uint16_t kLastChannel = 0x7FFF;
constexpr size_t kChannelHeader = 4;
constexpr uint64_t kNever = ~uint64_t{0};
// Never refresh sooner than this after the last grant, whatever lifetime the server
// gave: a short one must not turn the timer into a loop of Refresh requests.
constexpr uint64_t kMinRefreshIntervalMs = 2000;
// REALM and NONCE are at most 763 bytes (RFC 8489); longer ones are refused.
constexpr size_t kMaxRealmOrNonceBytes = 763;

bool IsRequestOf(uint16_t response, uint16_t request) { return (response & 0x3EEF) == (request & 0x3EEF); }
bool IsSuccess(uint16_t type) { return (type & 0x0110) == 0x0100; }
bool IsError(uint16_t type) { return (type & 0x0110) == 0x0110; }

uint64_t RefreshDelayMs(uint32_t lifetimeSeconds) {
  return std::max<uint64_t>(uint64_t{lifetimeSeconds} * 1000 / 2, kMinRefreshIntervalMs);
}

bool WithinBound(const std::optional<std::string>& text) {
  return !text || text->size() <= kMaxRealmOrNonceBytes;
}

}  // namespace

TurnClient::TurnClient(StunAddress server, std::string username, std::string password, SendFn send,
                       RandomFn random, bool useChannels, uint32_t authDelayMs)
    : server_(server),
      username_(std::move(username)),
      password_(std::move(password)),
      send_(std::move(send)),
      random_(std::move(random)),
      useChannels_(useChannels),
      authDelayMs_(authDelayMs) {}

std::vector<uint8_t> TurnClient::Key() const {
  Md5Digest d = Md5(AsBytes(username_ + ":" + realm_ + ":" + password_));
  return std::vector<uint8_t>(d.begin(), d.end());
}

void TurnClient::Start(uint64_t now) {
  if (state_ != State::Idle) return;
  state_ = State::Allocating;
  Request(kTurnAllocateRequest, std::nullopt, 0, now);
}

void TurnClient::Request(uint16_t type, std::optional<StunAddress> peer, uint16_t channel, uint64_t now) {
  StunTransactionId id;
  random_(id.data(), id.size());
  Pending& p = pending_[id];
  p.type = type;
  p.peer = peer;
  p.channel = channel;
  p.rto = kRtoMs;
  SendRequest(id, p, now);
}

StunMessage TurnClient::Build(const StunTransactionId& id, const Pending& p) const {
  StunMessage m;
  m.type = p.type;
  m.transaction = id;
  if (p.type == kTurnAllocateRequest) m.AddU32(kStunAttrRequestedTransport, kUdpTransport);
  if (p.type == kTurnRefreshRequest) m.AddU32(kStunAttrLifetime, lifetimeSeconds_);
  if (p.type == kTurnChannelBindRequest) m.AddU32(kStunAttrChannelNumber, uint32_t{p.channel} << 16);
  if (p.peer) m.AddXorAddress(kStunAttrXorPeerAddress, *p.peer);
  if (authenticated_) {
    m.AddText(kStunAttrUsername, username_);
    m.AddText(kStunAttrRealm, realm_);
    m.AddText(kStunAttrNonce, nonce_);
  }
  return m;
}

void TurnClient::SendRequest(const StunTransactionId& id, Pending& p, uint64_t now) {
  StunMessage m = Build(id, p);
  auto key = authenticated_ ? Key() : std::vector<uint8_t>{};
  send_(server_, EncodeStun(m, key, true));
  p.transmits++;
  p.nextSend = now + p.rto;
  p.rto *= 2;
}

bool TurnClient::OnDatagram(std::span<const uint8_t> bytes, uint64_t now, std::optional<Inbound>& inbound) {
  inbound.reset();
  if (bytes.size() >= kChannelHeader && (bytes[0] & 0xC0) == 0x40) {
    uint16_t channel = static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
    size_t length = static_cast<size_t>((bytes[2] << 8) | bytes[3]);
    if (length > bytes.size() - kChannelHeader) return true;
    for (const auto& [peer, state] : peers_) {
      if (state.channelBound && state.channel == channel) {
        stats_.channelDataIn++;
        inbound = Inbound{peer, std::vector<uint8_t>(bytes.begin() + kChannelHeader,
                                                     bytes.begin() + static_cast<ptrdiff_t>(kChannelHeader + length))};
        return true;
      }
    }
    return true;
  }
  auto m = ParseStun(bytes);
  if (!m) return false;
  if (m->type == kTurnDataIndication) {
    auto peer = m->XorAddress(kStunAttrXorPeerAddress);
    const StunAttribute* data = m->Find(kStunAttrData);
    if (peer && data) {
      stats_.dataIndicationsIn++;
      inbound = Inbound{*peer, data->value};
    }
    return true;
  }
  auto it = pending_.find(m->transaction);
  if (it == pending_.end() || !IsRequestOf(m->type, it->second.type)) return false;
  // Answers to authenticated requests must carry our key's integrity; a success without it
  // is ignored (the request stays pending, so a forged answer cannot end it).
  if (authenticated_ && m->integrityOffset != 0 && !StunIntegrityValid(bytes, *m, Key())) return true;
  if (authenticated_ && IsSuccess(m->type) && m->integrityOffset == 0) return true;
  Pending p = it->second;
  pending_.erase(it);
  if (IsError(m->type)) {
    int code = m->ErrorCode().value_or(0);
    auto realm = m->Text(kStunAttrRealm);
    auto nonce = m->Text(kStunAttrNonce);
    if (!WithinBound(realm) || !WithinBound(nonce)) {
      if (p.type == kTurnAllocateRequest || p.type == kTurnRefreshRequest) state_ = State::Failed;
      return true;
    }
    if (code == kStunErrorUnauthorized && !authenticated_ && realm && nonce) {
      stats_.unauthorized++;
      realm_ = *realm;
      nonce_ = *nonce;
      authenticated_ = true;
      if (authDelayMs_ == 0) {
        Request(p.type, p.peer, p.channel, now);
      } else {
        StunTransactionId id;
        random_(id.data(), id.size());
        Pending later = p;
        later.transmits = 0;
        later.rto = kRtoMs;
        later.nextSend = now + authDelayMs_;
        pending_[id] = later;
      }
      return true;
    }
    if (code == kStunErrorStaleNonce && nonce && p.staleRetries < kMaxStaleRetries) {
      stats_.staleNonce++;
      nonce_ = *nonce;
      if (realm) realm_ = *realm;
      StunTransactionId id;
      random_(id.data(), id.size());
      Pending retry = p;
      retry.staleRetries++;
      retry.transmits = 0;
      retry.rto = kRtoMs;
      Pending& stored = pending_[id] = retry;
      SendRequest(id, stored, now);
      return true;
    }
    if (p.type == kTurnAllocateRequest || p.type == kTurnRefreshRequest) state_ = State::Failed;
    return true;
  }
  if (!IsSuccess(m->type)) return true;
  switch (p.type) {
    case kTurnAllocateRequest:
      relayed_ = m->XorAddress(kStunAttrXorRelayedAddress);
      mapped_ = m->XorAddress(kStunAttrXorMappedAddress);
      lifetimeSeconds_ = m->U32(kStunAttrLifetime).value_or(600);
      stats_.firstLifetimeSeconds = lifetimeSeconds_;
      // An allocation granted no lifetime at all is no allocation (and refreshing it with
      // LIFETIME 0 would delete it).
      state_ = relayed_ && lifetimeSeconds_ != 0 ? State::Allocated : State::Failed;
      refreshAt_ = now + RefreshDelayMs(lifetimeSeconds_);
      break;
    case kTurnRefreshRequest:
      stats_.refreshes++;
      lifetimeSeconds_ = m->U32(kStunAttrLifetime).value_or(lifetimeSeconds_);
      if (lifetimeSeconds_ == 0) state_ = State::Failed;  // the server deleted it
      refreshAt_ = now + RefreshDelayMs(lifetimeSeconds_);
      break;
    case kTurnChannelBindRequest:
      for (auto& [peer, state] : peers_) {
        if (p.peer && peer == *p.peer) state.channelBound = true;
      }
      break;
    default:
      break;
  }
  return true;
}

uint64_t TurnClient::OnTimer(uint64_t now) {
  uint64_t next = kNever;
  for (auto it = pending_.begin(); it != pending_.end();) {
    Pending& p = it->second;
    if (now >= p.nextSend) {
      if (p.transmits >= kMaxTransmits) {
        if (p.type == kTurnAllocateRequest || p.type == kTurnRefreshRequest) state_ = State::Failed;
        it = pending_.erase(it);
        continue;
      }
      SendRequest(it->first, p, now);
    }
    next = std::min(next, p.nextSend);
    ++it;
  }
  if (state_ != State::Allocated) return next;
  if (now >= refreshAt_) {
    Request(kTurnRefreshRequest, std::nullopt, 0, now);
    refreshAt_ = now + RefreshDelayMs(lifetimeSeconds_);
  }
  next = std::min(next, refreshAt_);
  for (auto& [peer, state] : peers_) {
    if (now >= state.permissionRefreshAt) {
      Request(kTurnCreatePermissionRequest, peer, 0, now);
      state.permissionRefreshAt = now + kPermissionRefreshMs;
    }
    if (useChannels_ && state.channel != 0 && now >= state.channelRefreshAt) {
      Request(kTurnChannelBindRequest, peer, state.channel, now);
      state.channelRefreshAt = now + kChannelRefreshMs;
    }
    next = std::min(next, state.permissionRefreshAt);
    if (useChannels_ && state.channel != 0) next = std::min(next, state.channelRefreshAt);
  }
  return next;
}

void TurnClient::Permit(const StunAddress& peer, uint64_t now) {
  for (const auto& entry : peers_) {
    if (entry.first == peer) return;
  }
  PeerState state;
  if (useChannels_ && nextChannel_ <= kLastChannel) state.channel = nextChannel_++;
  peers_.emplace_back(peer, state);
  if (state_ == State::Allocated) OnTimer(now);  // sends the permission (and binding) now
}

void TurnClient::SendTo(const StunAddress& peer, std::span<const uint8_t> data) {
  if (state_ != State::Allocated) return;
  for (const auto& [p, state] : peers_) {
    if (p == peer && state.channelBound) {
      std::vector<uint8_t> frame;
      frame.reserve(kChannelHeader + data.size() + 3);
      frame.push_back(static_cast<uint8_t>(state.channel >> 8));
      frame.push_back(static_cast<uint8_t>(state.channel));
      frame.push_back(static_cast<uint8_t>(data.size() >> 8));
      frame.push_back(static_cast<uint8_t>(data.size()));
      frame.insert(frame.end(), data.begin(), data.end());
      send_(server_, frame);
      return;
    }
  }
  StunMessage m;
  m.type = kTurnSendIndication;
  random_(m.transaction.data(), m.transaction.size());
  m.AddXorAddress(kStunAttrXorPeerAddress, peer);
  m.Add(kStunAttrData, data);
  send_(server_, EncodeStun(m, {}, true));
}

}  // namespace tavro::connect
