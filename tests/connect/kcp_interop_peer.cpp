// The Windows side of the reliable-stream interop test: our control block over a UDP socket,
// sending and receiving a seeded random payload at once, then printing both SHA-256 digests.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "connect/kcp.h"
#include "core/crypto.h"
#include "core/encoding.h"

using namespace tavro::connect;

namespace {

constexpr uint32_t kConv = 0x74766331;

struct Link {
  SOCKET sock = INVALID_SOCKET;
  sockaddr_in peer{};
};

int SendDatagram(const char* buf, int len, ikcpcb*, void* user) {
  auto* link = static_cast<Link*>(user);
  sendto(link->sock, buf, len, 0, reinterpret_cast<const sockaddr*>(&link->peer), sizeof link->peer);
  return 0;
}

uint32_t NowMs(std::chrono::steady_clock::time_point start, uint32_t offset) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return static_cast<uint32_t>(ms.count()) + offset;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: kcp_interop_peer PORT BYTES SEED [CLOCK_OFFSET]\n");
    return 2;
  }
  int port = std::atoi(argv[1]);
  size_t total = std::strtoull(argv[2], nullptr, 10);
  uint32_t seed = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
  // Lets a run start its 32-bit clock just before the wrap.
  uint32_t offset = argc > 4 ? static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10)) : 0;

  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
  Link link;
  link.sock = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(link.sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return 1;
  int rcvbuf = 4 << 20;
  setsockopt(link.sock, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&rcvbuf), sizeof rcvbuf);
  link.peer.sin_family = AF_INET;
  link.peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  link.peer.sin_port = htons(static_cast<u_short>(port));

  ikcpcb* kcp = ikcp_create(kConv, &link);
  kcp->stream = 1;
  ikcp_setoutput(kcp, SendDatagram);
  ikcp_setmtu(kcp, 1200);
  ikcp_wndsize(kcp, 1024, 1024);
  ikcp_nodelay(kcp, 1, 10, 2, 1);

  std::vector<uint8_t> data(total);
  std::mt19937 rng(seed);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  std::vector<uint8_t> got;
  got.reserve(total);

  auto start = std::chrono::steady_clock::now();
  auto deadline = start + std::chrono::seconds(240);
  size_t sent = 0;
  std::vector<char> scratch(65536);
  std::vector<char> datagram(65536);
  bool wrapped = false;
  uint32_t last = NowMs(start, offset);
  // Announce ourselves so the proxy learns our address even before data flows.
  ikcp_update(kcp, last);
  while (got.size() < total || sent < total || ikcp_waitsnd(kcp) > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      std::printf("TIMEOUT got=%zu sent=%zu waitsnd=%d\n", got.size(), sent, ikcp_waitsnd(kcp));
      return 1;
    }
    while (sent < total && ikcp_waitsnd(kcp) < 2048) {
      size_t piece = std::min<size_t>(65536, total - sent);
      if (ikcp_send(kcp, reinterpret_cast<const char*>(data.data() + sent), static_cast<int>(piece)) < 0) {
        std::printf("SEND FAILED\n");
        return 1;
      }
      sent += piece;
      ikcp_flush(kcp);
    }
    uint32_t now = NowMs(start, offset);
    if (now < last) wrapped = true;
    last = now;
    int32_t wait = static_cast<int32_t>(ikcp_check(kcp, now) - now);
    if (wait < 0) wait = 0;
    if (wait > 10) wait = 10;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(link.sock, &set);
    timeval tv{0, wait * 1000};
    bool input = false;
    if (select(0, &set, nullptr, nullptr, &tv) > 0) {
      for (;;) {
        u_long pending = 0;
        ioctlsocket(link.sock, FIONREAD, &pending);
        if (pending == 0 && input) break;
        int n = recvfrom(link.sock, datagram.data(), static_cast<int>(datagram.size()), 0, nullptr, nullptr);
        if (n <= 0) break;
        ikcp_input(kcp, datagram.data(), n);
        input = true;
      }
    }
    if (input) ikcp_flush(kcp);
    ikcp_update(kcp, NowMs(start, offset));
    int n;
    while ((n = ikcp_recv(kcp, scratch.data(), static_cast<int>(scratch.size()))) > 0) {
      got.insert(got.end(), scratch.begin(), scratch.begin() + n);
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("SENT %s\nRECV %s\nSECONDS %.3f\nWRAPPED %d\n", kelm::HexEncode(kelm::Sha256(data)).c_str(),
              kelm::HexEncode(kelm::Sha256(got)).c_str(), seconds, wrapped ? 1 : 0);
  std::fflush(stdout);
  // Linger so our last acknowledgements reach the peer.
  auto lingerEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < lingerEnd) {
    int n = 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(link.sock, &set);
    timeval tv{0, 10000};
    if (select(0, &set, nullptr, nullptr, &tv) > 0) {
      n = recvfrom(link.sock, datagram.data(), static_cast<int>(datagram.size()), 0, nullptr, nullptr);
      if (n > 0) ikcp_input(kcp, datagram.data(), n);
    }
    ikcp_update(kcp, NowMs(start, offset));
  }
  ikcp_release(kcp);
  closesocket(link.sock);
  WSACleanup();
  return 0;
}
