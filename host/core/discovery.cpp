#include "core/discovery.h"

#include <ws2tcpip.h>

#include <cstring>

#include "core/byte_order.h"
#include "core/net_address.h"
#include "core/probe_rate_limit.h"

namespace kelm {
namespace {

constexpr char kProbeMagic[] = "KELM?";
constexpr char kReplyMagic[] = "KELM!";
constexpr size_t kMagicSize = 5;
constexpr size_t kMinProbe = 7;
constexpr size_t kMaxDatagram = 256;

}  // namespace

bool IsDiscoveryProbe(std::span<const uint8_t> datagram) {
  return datagram.size() >= kMinProbe && std::memcmp(datagram.data(), kProbeMagic, kMagicSize) == 0;
}

std::vector<uint8_t> DiscoveryReply(uint16_t tcpPort, std::string_view pcName) {
  if (pcName.size() > 65535) pcName = pcName.substr(0, 65535);
  std::vector<uint8_t> out(kReplyMagic, kReplyMagic + kMagicSize);
  bytes::AppendLe<uint16_t>(out, kDiscoveryVersion);
  bytes::AppendLe<uint16_t>(out, tcpPort);
  bytes::AppendLe<uint16_t>(out, static_cast<uint16_t>(pcName.size()));
  out.insert(out.end(), pcName.begin(), pcName.end());
  return out;
}

bool DiscoveryResponder::Start(uint16_t tcpPort, std::string pcName) {
  if (thread_.joinable()) return false;  // already running: replacing the thread would abort
  port_ = tcpPort;
  name_ = std::move(pcName);
  const SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                              WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  // Exclusive: no other program can bind the port too and answer probes in the
  // host's name (with shared use, the last to bind would get the probes).
  const BOOL on = TRUE;
  if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on)) != 0) {
    closesocket(s);
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kDiscoveryPort);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    closesocket(s);
    return false;
  }
  socket_.store(s);
  active_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void DiscoveryResponder::Run() {
  const std::vector<uint8_t> reply = DiscoveryReply(port_, name_);
  ProbeRateLimiter limiter;
  uint8_t buffer[kMaxDatagram];
  for (;;) {
    const SOCKET s = socket_.load();
    if (s == INVALID_SOCKET) return;
    sockaddr_in from{};
    int fromLength = sizeof(from);
    const int got = recvfrom(s, reinterpret_cast<char*>(buffer), sizeof(buffer), 0,
                             reinterpret_cast<sockaddr*>(&from), &fromLength);
    // Errors, and datagrams longer than the buffer, are not answered.
    if (got < 0) continue;
    if (!IsDiscoveryProbe({buffer, static_cast<size_t>(got)})) continue;
    if (fromLength < static_cast<int>(sizeof(from)) || from.sin_family != AF_INET) continue;
    if (!IsLanIPv4(ntohl(from.sin_addr.s_addr))) continue;
    if (!limiter.Allow(ntohl(from.sin_addr.s_addr), GetTickCount64())) continue;
    sendto(s, reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size()), 0,
           reinterpret_cast<const sockaddr*>(&from), sizeof(from));
  }
}

void DiscoveryResponder::Stop() {
  const SOCKET old = socket_.exchange(INVALID_SOCKET);
  if (old != INVALID_SOCKET) closesocket(old);
  if (thread_.joinable()) thread_.join();
  active_ = false;
}

}  // namespace kelm
