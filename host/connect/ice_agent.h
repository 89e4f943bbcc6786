#pragma once
// The ICE agent's logic (RFC 8445, controlled by default): local candidates, connectivity
// checks with nomination and role conflicts, peer-reflexive remotes, consent freshness
// (RFC 7675) and server-reflexive gathering. Portable: the caller owns the socket and the
// clock, feeds datagrams and timer ticks in, and serialises all calls.
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "connect/ice_description.h"
#include "connect/stun_message.h"
#include "connect/turn_client.h"

namespace tavro::connect {

// The agent's state numbers (also the stream's juice state).
enum class IceState : uint32_t {
  Disconnected = 0,
  Gathering = 1,
  Connecting = 2,
  Connected = 3,
  Completed = 4,
  Failed = 5,
};

struct IceTimers {
  uint32_t pacingMs = 20;            // one new check per tick
  uint32_t checkRtoMs = 100;         // first retransmission of a check, doubled each time
  uint32_t checkRtoMaxMs = 1600;
  int checkMaxTransmits = 8;
  uint32_t consentIntervalMs = 5000;  // a consent request about this often (+-20 %)
  uint32_t consentTimeoutMs = 30000;  // no consent answer for this long: failed
  uint32_t connectTimeoutMs = 30000;  // no working pair this long after the remote is set
  uint32_t gatherRtoMs = 250;
  int gatherMaxTransmits = 5;
};

// Test switches that damage what we send, to show that a peer checks it.
struct IceFaults {
  bool corruptFingerprint = false;
  bool corruptIntegrity = false;
  uint32_t inboundDataLossPercent = 0;  // drop this share of received application data (seeded)
};

class IceAgent {
 public:
  using SendFn = std::function<void(const StunAddress& to, std::span<const uint8_t> bytes)>;
  using RandomFn = std::function<void(uint8_t* out, size_t n)>;

  struct Event {
    enum Kind { kState, kGatheringDone, kData } kind;
    IceState state = IceState::Disconnected;
    std::vector<uint8_t> data;
  };

  IceAgent(SendFn send, RandomFn random, IceTimers timers = {}, IceFaults faults = {});

  // The socket's own addresses (host candidates); set before gathering.
  void SetHostAddresses(std::vector<StunAddress> addresses);
  void SetStunServer(std::optional<StunAddress> server);
  // A TURN server (at most two are used); set before gathering.
  void AddTurnServer(const StunAddress& server, const std::string& username, const std::string& password);
  // Tests: check only through relays; send by Send indications instead of channels.
  void SetRelayOnly(bool relayOnly) { relayOnly_ = relayOnly; }
  void SetTurnChannels(bool useChannels) { turnChannels_ = useChannels; }
  // Tests on one machine: keep server-reflexive candidates equal to a host candidate;
  // delay the answer to a TURN 401 (to meet a stale nonce).
  void SetKeepRedundantCandidates(bool keep) { keepRedundant_ = keep; }
  void SetTurnAuthDelay(uint32_t ms) { turnAuthDelayMs_ = ms; }
  std::vector<TurnStats> TurnStatistics() const;
  // The answerer starts controlled; an offerer (or a test) may start controlling.
  void SetControlling(bool controlling) { controlling_ = controlling; }

  void StartGathering(uint64_t nowMs);
  bool SetRemoteDescription(std::string_view text, uint64_t nowMs);
  void SetRemoteGatheringDone();
  std::string LocalDescription() const;

  // Sends application data on the selected pair; false when there is none.
  bool Send(std::span<const uint8_t> data);
  // Candidate lines ("a=candidate:...") of the selected pair.
  std::optional<std::pair<std::string, std::string>> SelectedCandidateLines() const;

  void OnDatagram(const StunAddress& from, std::span<const uint8_t> bytes, uint64_t nowMs);
  // Runs due work; returns when it wants to run next (absolute milliseconds).
  uint64_t OnTimer(uint64_t nowMs);

  IceState State() const { return state_; }
  // Consent requests sent and answered on the selected pair (diagnostics).
  std::pair<uint64_t, uint64_t> ConsentCounts() const { return {consent_.sent, consent_.answered}; }
  bool Controlling() const { return controlling_; }
  // Callbacks for the owner to deliver outside its lock, in order.
  std::vector<Event> TakeEvents();

 private:
  enum class PairState { Waiting, InProgress, Succeeded, Failed };
  struct Pair {
    int relay = -1;  // index of the TURN allocation the pair uses, -1: the socket itself
    IceCandidate remote;
    StunAddress remoteAddress;
    uint64_t priority = 0;
    PairState state = PairState::Waiting;
    bool nominated = false;      // the controlling peer asked for it (or we did)
    bool useCandidate = false;   // our current check carries USE-CANDIDATE
    bool validated = false;      // the peer proved our password from this address
    StunTransactionId transaction{};
    int transmits = 0;
    uint64_t nextSend = 0;
    uint32_t rto = 0;
  };
  struct Consent {
    // The last few requests: a late answer to an earlier one still counts.
    std::deque<StunTransactionId> recent;
    uint64_t nextSend = 0;
    uint64_t lastAnswer = 0;
    uint64_t sent = 0, answered = 0;
  };
  struct Gather {
    StunAddress server;
    StunTransactionId transaction{};
    int transmits = 0;
    uint64_t nextSend = 0;
    bool done = false;
  };

  void SetState(IceState state);
  void Emit(Event event) { events_.push_back(std::move(event)); }
  void OnPeerDatagram(const StunAddress& from, int relay, std::span<const uint8_t> bytes, uint64_t now);
  void HandleRequest(const StunAddress& from, int relay, std::span<const uint8_t> bytes, const StunMessage& m,
                     uint64_t now);
  void HandleResponse(const StunAddress& from, int relay, std::span<const uint8_t> bytes, const StunMessage& m,
                      uint64_t now);
  void SendError(const StunAddress& to, int relay, const StunMessage& request, int code, std::string_view reason,
                 bool withIntegrity);
  void SendVia(const StunAddress& to, int relay, std::span<const uint8_t> bytes);
  void AddPair(const IceCandidate& candidate, const StunAddress& address, int relay);
  void AnnounceAllocations(uint64_t now);
  void SendCheck(Pair& pair, uint64_t now);
  void StartCheck(Pair& pair, uint64_t now);
  void AddRemote(const IceCandidate& candidate);
  Pair* FindPair(const StunAddress& address, int relay);
  Pair* Selected();
  void Select(Pair& pair, uint64_t now);
  void FinishGatheringIfDone();
  uint32_t LocalPriority(uint32_t typePreference) const;
  StunTransactionId NewTransaction();
  std::string RandomIceText(size_t n);
  std::vector<uint8_t> Encode(const StunMessage& m, std::string_view key) const;

  SendFn send_;
  RandomFn random_;
  IceTimers timers_;
  IceFaults faults_;
  IceState state_ = IceState::Disconnected;
  bool controlling_ = false;
  uint64_t tieBreaker_ = 0;
  std::string localUfrag_, localPwd_;
  std::string remoteUfrag_, remotePwd_;
  bool haveRemote_ = false;
  bool remoteGatheringDone_ = false;
  std::vector<StunAddress> hostAddresses_;
  std::vector<IceCandidate> localCandidates_;
  std::vector<IceCandidate> remoteCandidates_;
  uint64_t lastNow_ = 0;
  uint32_t lossState_ = 0x2545F491u;  // seeded generator for the loss test switch
  bool gatheringStarted_ = false;
  bool gatheringDone_ = false;
  std::optional<Gather> stunGather_;
  std::vector<Pair> pairs_;
  std::vector<std::unique_ptr<TurnClient>> turns_;
  std::vector<bool> turnAnnounced_;
  bool relayOnly_ = false;
  bool turnChannels_ = true;
  bool keepRedundant_ = false;
  uint32_t turnAuthDelayMs_ = 0;
  std::deque<size_t> triggered_;
  std::optional<size_t> selected_;
  Consent consent_;
  uint64_t nextPacing_ = 0;
  uint64_t remoteSetAt_ = 0;
  std::vector<Event> events_;
};

// Priority of a candidate: type preference, local preference 65535, component 1.
uint32_t CandidatePriority(uint32_t typePreference);
inline constexpr uint32_t kTypePrefHost = 126;
inline constexpr uint32_t kTypePrefPeerReflexive = 110;
inline constexpr uint32_t kTypePrefServerReflexive = 100;
inline constexpr uint32_t kTypePrefRelayed = 0;

}  // namespace tavro::connect
