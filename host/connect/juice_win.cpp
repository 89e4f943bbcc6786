// The ICE agent on Windows: one UDP socket, one thread that feeds it datagrams and timer
// ticks, and callbacks delivered outside the agent's lock.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connect/juice.h"
#include "core/crypto.h"
#include "core/lingering_threads.h"
#include "core/local_addresses.h"

namespace tavro::connect {
namespace {

constexpr uint32_t kLookupTimeoutMs = 2000;
constexpr uint32_t kIdleWaitMs = 20;
constexpr size_t kDatagramMax = 65536;
// About one window of the peer's full datagrams: a deeper queue only adds delay once the
// receiving thread is the slower side (under Wine each receive is a round trip to its server),
// and that delay fires both sides' retransmission timers, which floods the queue further.
constexpr int kSocketBufferBytes = 1 << 20;

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void Random(uint8_t* out, size_t n) {
  if (!kelm::RandomBytes(out, n)) {
    // CNG failing is not expected; fall back to the C++ source rather than zeros.
    std::random_device rd;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(rd());
  }
}

StunAddress FromSockaddr(const sockaddr_storage& ss) {
  StunAddress a;
  if (ss.ss_family == AF_INET6) {
    const auto& s6 = reinterpret_cast<const sockaddr_in6&>(ss);
    a.v6 = true;
    std::memcpy(a.ip.data(), &s6.sin6_addr, 16);
    a.port = ntohs(s6.sin6_port);
  } else {
    const auto& s4 = reinterpret_cast<const sockaddr_in&>(ss);
    std::memcpy(a.ip.data(), &s4.sin_addr, 4);
    a.port = ntohs(s4.sin_port);
  }
  return a;
}

int ToSockaddr(const StunAddress& a, sockaddr_storage& ss) {
  std::memset(&ss, 0, sizeof ss);
  if (a.v6) {
    auto& s6 = reinterpret_cast<sockaddr_in6&>(ss);
    s6.sin6_family = AF_INET6;
    std::memcpy(&s6.sin6_addr, a.ip.data(), 16);
    s6.sin6_port = htons(a.port);
    return sizeof(sockaddr_in6);
  }
  auto& s4 = reinterpret_cast<sockaddr_in&>(ss);
  s4.sin_family = AF_INET;
  std::memcpy(&s4.sin_addr, a.ip.data(), 4);
  s4.sin_port = htons(a.port);
  return sizeof(sockaddr_in);
}

// A server address: IP literals directly; names through a lookup bounded in time (the
// lookup thread is left to the lingering threads when it takes too long).
std::optional<StunAddress> Resolve(const std::string& host, uint16_t port, bool allowNames) {
  if (auto literal = StunAddress::FromIp(host, port)) return literal;
  if (!allowNames) return std::nullopt;
  struct Lookup {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    std::optional<StunAddress> result;
  };
  auto lookup = std::make_shared<Lookup>();
  std::thread worker([lookup, host, port] {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    std::optional<StunAddress> found;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) == 0 && list != nullptr) {
      sockaddr_storage ss{};
      std::memcpy(&ss, list->ai_addr, std::min<size_t>(list->ai_addrlen, sizeof ss));
      found = FromSockaddr(ss);
      found->port = port;
      freeaddrinfo(list);
    }
    std::lock_guard lock(lookup->mu);
    lookup->result = found;
    lookup->done = true;
    lookup->cv.notify_all();
  });
  std::unique_lock lock(lookup->mu);
  const bool done =
      lookup->cv.wait_for(lock, std::chrono::milliseconds(kLookupTimeoutMs), [&] { return lookup->done; });
  std::optional<StunAddress> result = lookup->result;
  lock.unlock();
  if (done) {
    worker.join();
  } else {
    kelm::AdoptLingeringThread(std::move(worker));  // getaddrinfo cannot be cut short
  }
  return result;
}

}  // namespace

struct juice_agent {
  juice_config_t config;
  IceTestSettings test;
  std::string stunHost;
  uint16_t stunPort = 0;
  struct Turn {
    std::string host;
    uint16_t port;
    std::string username, password;
  };
  std::vector<Turn> turnServers;
  SOCKET sock = INVALID_SOCKET;
  std::mutex mu;  // guards agent
  std::unique_ptr<IceAgent> agent;
  std::atomic<bool> stop{false};
  std::atomic<bool> kick{false};
  std::thread thread;

  // Datagrams that juice_send produced under the agent lock, sent once it is released: a
  // send can cost a round trip to the system (one to Wine's server under Wine), and holding
  // the lock for it stalls the thread that receives.
  using Outbox = std::vector<std::pair<StunAddress, std::vector<uint8_t>>>;
  static inline thread_local Outbox* outbox = nullptr;

  void SendTo(const StunAddress& to, std::span<const uint8_t> bytes) {
    if (outbox != nullptr) {
      outbox->emplace_back(to, std::vector<uint8_t>(bytes.begin(), bytes.end()));
      return;
    }
    sockaddr_storage ss;
    int len = ToSockaddr(to, ss);
    sendto(sock, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
           reinterpret_cast<const sockaddr*>(&ss), len);
  }

  void Deliver(std::vector<IceAgent::Event> events) {
    for (auto& e : events) {
      switch (e.kind) {
        case IceAgent::Event::kState:
          if (config.cb_state_changed) {
            config.cb_state_changed(this, static_cast<juice_state_t>(e.state), config.user_ptr);
          }
          break;
        case IceAgent::Event::kGatheringDone:
          if (config.cb_gathering_done) config.cb_gathering_done(this, config.user_ptr);
          break;
        case IceAgent::Event::kData:
          if (config.cb_recv) {
            config.cb_recv(this, reinterpret_cast<const char*>(e.data.data()), e.data.size(), config.user_ptr);
          }
          break;
      }
    }
  }

  void Run() {
    std::vector<char> buf(kDatagramMax);
    uint64_t next = NowMs();
    while (!stop.load()) {
      uint64_t now = NowMs();
      uint64_t waitMs = next > now ? std::min<uint64_t>(next - now, kIdleWaitMs) : 0;
      if (kick.exchange(false)) waitMs = 0;
      fd_set set;
      FD_ZERO(&set);
      FD_SET(sock, &set);
      timeval tv{0, static_cast<long>(waitMs * 1000)};
      int ready = select(0, &set, nullptr, nullptr, &tv);
      if (ready > 0) {
        for (int i = 0; i < 256; ++i) {
          sockaddr_storage from{};
          int fromLen = sizeof from;
          int n = recvfrom(sock, buf.data(), static_cast<int>(buf.size()), 0, reinterpret_cast<sockaddr*>(&from),
                           &fromLen);
          if (n < 0) break;  // would block (non-blocking socket) or an error
          std::vector<IceAgent::Event> events;
          {
            std::lock_guard lock(mu);
            agent->OnDatagram(FromSockaddr(from),
                              std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buf.data()),
                                                       static_cast<size_t>(n)),
                              NowMs());
            events = agent->TakeEvents();
          }
          Deliver(std::move(events));
        }
      }
      std::vector<IceAgent::Event> events;
      {
        std::lock_guard lock(mu);
        next = agent->OnTimer(NowMs());
        events = agent->TakeEvents();
      }
      Deliver(std::move(events));
    }
  }
};

juice_agent_t* juice_create(const juice_config_t* config) {
  if (config == nullptr) return nullptr;
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return nullptr;
  auto a = std::make_unique<juice_agent>();
  a->config = *config;
  if (config->test) a->test = *config->test;
  a->config.test = nullptr;
  if (config->stun_server_host) {
    a->stunHost = config->stun_server_host;
    a->stunPort = config->stun_server_port;
  }
  a->sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (a->sock == INVALID_SOCKET) {
    WSACleanup();
    return nullptr;
  }
  // An ICMP port-unreachable must not make later receives fail.
  BOOL off = FALSE;
  DWORD ignored = 0;
  WSAIoctl(a->sock, SIO_UDP_CONNRESET, &off, sizeof off, nullptr, 0, &ignored, nullptr, nullptr);
  setsockopt(a->sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kSocketBufferBytes),
             sizeof kSocketBufferBytes);
  setsockopt(a->sock, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&kSocketBufferBytes),
             sizeof kSocketBufferBytes);
  u_long nonBlocking = 1;
  ioctlsocket(a->sock, FIONBIO, &nonBlocking);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(a->test.loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
  int localLen = sizeof local;
  if (bind(a->sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      getsockname(a->sock, reinterpret_cast<sockaddr*>(&local), &localLen) != 0) {
    closesocket(a->sock);
    WSACleanup();
    return nullptr;
  }
  uint16_t port = ntohs(local.sin_port);
  std::vector<StunAddress> hosts;
  if (a->test.loopbackOnly) {
    hosts.push_back(*StunAddress::FromIp("127.0.0.1", port));
  } else {
    for (const auto& entry : kelm::LocalAddresses()) {
      if (auto address = StunAddress::FromIp(entry.address, port)) hosts.push_back(*address);
    }
  }
  juice_agent* raw = a.get();
  a->agent = std::make_unique<IceAgent>(
      [raw](const StunAddress& to, std::span<const uint8_t> bytes) { raw->SendTo(to, bytes); }, Random,
      a->test.timers, a->test.faults);
  for (const auto& extra : a->test.extraHostAddresses) {
    if (auto address = StunAddress::FromIp(extra, port)) hosts.push_back(*address);
  }
  a->agent->SetHostAddresses(std::move(hosts));
  a->agent->SetRelayOnly(a->test.relayOnly);
  a->agent->SetTurnChannels(a->test.turnChannels);
  a->agent->SetKeepRedundantCandidates(a->test.keepRedundantCandidates);
  a->agent->SetTurnAuthDelay(a->test.turnAuthDelayMs);
  a->agent->SetControlling(a->test.controlling);
  for (int i = 0; i < config->turn_servers_count && config->turn_servers != nullptr; ++i) {
    const juice_turn_server_t& t = config->turn_servers[i];
    if (t.host == nullptr || t.username == nullptr || t.password == nullptr) continue;
    a->turnServers.push_back({t.host, t.port == 0 ? uint16_t{3478} : t.port, t.username, t.password});
  }
  a->thread = std::thread([raw] { raw->Run(); });
  return a.release();
}

void juice_destroy(juice_agent_t* agent) {
  if (agent == nullptr) return;
  std::unique_ptr<juice_agent> owner(agent);
  owner->stop = true;
  if (owner->thread.joinable()) owner->thread.join();
  closesocket(owner->sock);
  WSACleanup();
}

int juice_gather_candidates(juice_agent_t* agent) {
  if (agent == nullptr) return JUICE_ERR_INVALID;
  std::optional<StunAddress> stun;
  if (!agent->stunHost.empty()) {
    stun = Resolve(agent->stunHost, agent->stunPort, !agent->test.loopbackOnly);
  }
  std::vector<std::pair<StunAddress, const juice_agent::Turn*>> turns;
  for (const auto& t : agent->turnServers) {
    if (auto address = Resolve(t.host, t.port, !agent->test.loopbackOnly)) turns.emplace_back(*address, &t);
  }
  std::vector<IceAgent::Event> events;
  {
    std::lock_guard lock(agent->mu);
    for (const auto& [address, t] : turns) agent->agent->AddTurnServer(address, t->username, t->password);
    agent->agent->SetStunServer(stun);
    agent->agent->StartGathering(NowMs());
    events = agent->agent->TakeEvents();
  }
  agent->kick = true;
  agent->Deliver(std::move(events));
  return JUICE_ERR_SUCCESS;
}

int juice_get_local_description(juice_agent_t* agent, char* buffer, size_t size) {
  if (agent == nullptr || buffer == nullptr || size == 0) return JUICE_ERR_INVALID;
  std::string text;
  {
    std::lock_guard lock(agent->mu);
    text = agent->agent->LocalDescription();
  }
  if (text.size() + 1 > size) return JUICE_ERR_TOO_SMALL;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return JUICE_ERR_SUCCESS;
}

int juice_set_remote_description(juice_agent_t* agent, const char* sdp) {
  if (agent == nullptr || sdp == nullptr) return JUICE_ERR_INVALID;
  std::vector<IceAgent::Event> events;
  bool ok;
  {
    std::lock_guard lock(agent->mu);
    ok = agent->agent->SetRemoteDescription(sdp, NowMs());
    events = agent->agent->TakeEvents();
  }
  agent->kick = true;
  agent->Deliver(std::move(events));
  return ok ? JUICE_ERR_SUCCESS : JUICE_ERR_INVALID;
}

int juice_set_remote_gathering_done(juice_agent_t* agent) {
  if (agent == nullptr) return JUICE_ERR_INVALID;
  std::lock_guard lock(agent->mu);
  agent->agent->SetRemoteGatheringDone();
  return JUICE_ERR_SUCCESS;
}

int juice_send(juice_agent_t* agent, const char* data, size_t size) {
  if (agent == nullptr || (data == nullptr && size > 0)) return JUICE_ERR_INVALID;
  juice_agent::Outbox pending;
  bool sent;
  {
    std::lock_guard lock(agent->mu);
    juice_agent::outbox = &pending;
    sent = agent->agent->Send({reinterpret_cast<const uint8_t*>(data), size});
    juice_agent::outbox = nullptr;
  }
  for (const auto& [to, bytes] : pending) agent->SendTo(to, bytes);
  return sent ? JUICE_ERR_SUCCESS : JUICE_ERR_NOT_AVAIL;
}

int juice_get_selected_candidates(juice_agent_t* agent, char* local, size_t local_size, char* remote,
                                  size_t remote_size) {
  if (agent == nullptr || local == nullptr || remote == nullptr) return JUICE_ERR_INVALID;
  std::optional<std::pair<std::string, std::string>> lines;
  {
    std::lock_guard lock(agent->mu);
    lines = agent->agent->SelectedCandidateLines();
  }
  if (!lines) return JUICE_ERR_NOT_AVAIL;
  if (lines->first.size() + 1 > local_size || lines->second.size() + 1 > remote_size) return JUICE_ERR_TOO_SMALL;
  std::memcpy(local, lines->first.c_str(), lines->first.size() + 1);
  std::memcpy(remote, lines->second.c_str(), lines->second.size() + 1);
  return JUICE_ERR_SUCCESS;
}

std::pair<uint64_t, uint64_t> juice_test_consent_counts(juice_agent_t* agent) {
  std::lock_guard lock(agent->mu);
  return agent->agent->ConsentCounts();
}

std::vector<TurnStats> juice_test_turn_stats(juice_agent_t* agent) {
  std::lock_guard lock(agent->mu);
  return agent->agent->TurnStatistics();
}

}  // namespace tavro::connect
