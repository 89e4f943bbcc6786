#pragma once
// The ICE agent as the ICE stream uses it: one agent per stream with its own thread and
// one UDP socket, driven through the juice_* calls. It keeps the C shape of the ICE
// library the system names, so the stream reads as it would written for that library.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "connect/ice_agent.h"

namespace tavro::connect {

struct juice_agent;
using juice_agent_t = juice_agent;

enum juice_state_t : uint32_t {
  JUICE_STATE_DISCONNECTED = 0,
  JUICE_STATE_GATHERING = 1,
  JUICE_STATE_CONNECTING = 2,
  JUICE_STATE_CONNECTED = 3,
  JUICE_STATE_COMPLETED = 4,
  JUICE_STATE_FAILED = 5,
};

inline constexpr int JUICE_ERR_SUCCESS = 0;
inline constexpr int JUICE_ERR_INVALID = -1;
inline constexpr int JUICE_ERR_FAILED = -2;
inline constexpr int JUICE_ERR_NOT_AVAIL = -3;
inline constexpr int JUICE_ERR_TOO_SMALL = -4;  // the buffer cannot hold the whole text

enum juice_concurrency_mode_t { JUICE_CONCURRENCY_MODE_THREAD = 1 };

using juice_cb_state_changed_t = void (*)(juice_agent_t* agent, juice_state_t state, void* user_ptr);
using juice_cb_candidate_t = void (*)(juice_agent_t* agent, const char* sdp, void* user_ptr);
using juice_cb_gathering_done_t = void (*)(juice_agent_t* agent, void* user_ptr);
using juice_cb_recv_t = void (*)(juice_agent_t* agent, const char* data, size_t size, void* user_ptr);

struct juice_turn_server_t {
  const char* host;
  const char* username;
  const char* password;
  uint16_t port;
};

// Settings that only tests use: never reachable from the settings file or command line.
struct IceTestSettings {
  bool loopbackOnly = false;  // bind to 127.0.0.1: host candidates are loopback only
  IceTimers timers;
  IceFaults faults;
  uint32_t kcpClockOffset = 0;
  bool relayOnly = false;     // connectivity checks only through TURN allocations
  bool turnChannels = true;   // false: data through the relay by Send/Data indications
  bool keepRedundantCandidates = false;  // keep a server-reflexive candidate equal to a host one
  uint32_t turnAuthDelayMs = 0;          // wait before answering a TURN 401
  bool controlling = false;              // act as the offering side (benchmarks, tests)  // the stream's 32-bit millisecond clock starts this far on
  // Further host addresses announced as candidates, as a PC with many network adapters
  // reports them (tests of description sizes; nothing is bound to them).
  std::vector<std::string> extraHostAddresses;
};

struct juice_config_t {
  juice_concurrency_mode_t concurrency_mode = JUICE_CONCURRENCY_MODE_THREAD;
  const char* stun_server_host = nullptr;
  uint16_t stun_server_port = 0;
  juice_turn_server_t* turn_servers = nullptr;
  int turn_servers_count = 0;
  juice_cb_state_changed_t cb_state_changed = nullptr;
  juice_cb_candidate_t cb_candidate = nullptr;
  juice_cb_gathering_done_t cb_gathering_done = nullptr;
  juice_cb_recv_t cb_recv = nullptr;
  void* user_ptr = nullptr;
  const IceTestSettings* test = nullptr;
};

juice_agent_t* juice_create(const juice_config_t* config);
void juice_destroy(juice_agent_t* agent);
int juice_gather_candidates(juice_agent_t* agent);
int juice_get_local_description(juice_agent_t* agent, char* buffer, size_t size);
int juice_set_remote_description(juice_agent_t* agent, const char* sdp);
int juice_set_remote_gathering_done(juice_agent_t* agent);
int juice_send(juice_agent_t* agent, const char* data, size_t size);
int juice_get_selected_candidates(juice_agent_t* agent, char* local, size_t local_size, char* remote,
                                  size_t remote_size);

// Tests: the TURN allocations' counters.
std::vector<TurnStats> juice_test_turn_stats(juice_agent_t* agent);
// Tests: consent requests sent and answered.
std::pair<uint64_t, uint64_t> juice_test_consent_counts(juice_agent_t* agent);

}  // namespace tavro::connect
