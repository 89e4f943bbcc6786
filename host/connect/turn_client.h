#pragma once
// One TURN allocation over UDP (RFC 8656) with long-term credentials: Allocate (answering
// 401 and 438), Refresh, CreatePermission, ChannelBind, and data by ChannelData or by
// Send/Data indications. Portable: the owner feeds datagrams and timer ticks in.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "connect/stun_message.h"

namespace tavro::connect {

struct TurnStats {
  int unauthorized = 0;  // 401 answers
  int staleNonce = 0;    // 438 answers
  int refreshes = 0;     // successful Refresh transactions
  int channelDataIn = 0, dataIndicationsIn = 0;
  uint32_t lifetimeSeconds = 0;       // as the server granted it last
  uint32_t firstLifetimeSeconds = 0;  // as granted with the allocation
};

class TurnClient {
 public:
  using SendFn = std::function<void(const StunAddress& to, std::span<const uint8_t> bytes)>;
  using RandomFn = std::function<void(uint8_t* out, size_t n)>;
  enum class State { Idle, Allocating, Allocated, Failed };
  struct Inbound {
    StunAddress peer;
    std::vector<uint8_t> data;
  };

  TurnClient(StunAddress server, std::string username, std::string password, SendFn send, RandomFn random,
             bool useChannels = true, uint32_t authDelayMs = 0);

  const StunAddress& Server() const { return server_; }
  State GetState() const { return state_; }
  bool Finished() const { return state_ == State::Allocated || state_ == State::Failed; }
  std::optional<StunAddress> Relayed() const { return relayed_; }
  std::optional<StunAddress> Mapped() const { return mapped_; }
  TurnStats Stats() const {
    TurnStats s = stats_;
    s.lifetimeSeconds = lifetimeSeconds_;
    return s;
  }

  void Start(uint64_t now);
  // A datagram from the server: true when it was ours (an answer, ChannelData or a Data
  // indication); peer data comes back in `inbound`.
  bool OnDatagram(std::span<const uint8_t> bytes, uint64_t now, std::optional<Inbound>& inbound);
  uint64_t OnTimer(uint64_t now);
  // Opens the way to a peer (permission and, with channels, a channel).
  void Permit(const StunAddress& peer, uint64_t now);
  // Sends data to a peer through the relay.
  void SendTo(const StunAddress& peer, std::span<const uint8_t> data);

 private:
  struct Pending {
    uint16_t type;
    std::optional<StunAddress> peer;
    uint16_t channel = 0;
    int transmits = 0;
    uint32_t rto = 0;
    uint64_t nextSend = 0;
    int staleRetries = 0;
  };
  struct PeerState {
    uint16_t channel = 0;
    bool channelBound = false;
    uint64_t permissionRefreshAt = 0;
    uint64_t channelRefreshAt = 0;
  };

  void SendRequest(const StunTransactionId& id, Pending& p, uint64_t now);
  StunMessage Build(const StunTransactionId& id, const Pending& p) const;
  void Request(uint16_t type, std::optional<StunAddress> peer, uint16_t channel, uint64_t now);
  std::vector<uint8_t> Key() const;

  StunAddress server_;
  std::string username_, password_;
  SendFn send_;
  RandomFn random_;
  bool useChannels_;
  uint32_t authDelayMs_;  // tests: wait this long before answering a 401 (to see a stale nonce)
  State state_ = State::Idle;
  std::string realm_, nonce_;
  bool authenticated_ = false;
  std::optional<StunAddress> relayed_, mapped_;
  uint32_t lifetimeSeconds_ = 600;
  uint64_t refreshAt_ = 0;
  std::map<StunTransactionId, Pending> pending_;
  std::vector<std::pair<StunAddress, PeerState>> peers_;
  uint16_t nextChannel_ = 0x4000;
  TurnStats stats_;
};

}  // namespace tavro::connect
