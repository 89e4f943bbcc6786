#include "core/socket.h"

#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/local_addresses.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;

class SocketTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(winsock_); }
  void TearDown() override { CloseListenSocket(slot_); }

  // Listens on a port the system picks, so parallel tests never collide.
  uint16_t Listen(bool usbOnly) {
    EXPECT_TRUE(ListenTcp(slot_, 0, usbOnly));
    sockaddr_storage addr{};
    int len = sizeof(addr);
    EXPECT_EQ(getsockname(slot_.load(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);  // same offset for v6
  }

  static Socket Connect(const char* address, uint16_t port) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* info = nullptr;
    if (getaddrinfo(address, nullptr, &hints, &info) != 0) return Socket();
    Socket s(socket(info->ai_family, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_storage target{};
    memcpy(&target, info->ai_addr, info->ai_addrlen);
    reinterpret_cast<sockaddr_in*>(&target)->sin_port = htons(port);
    const int len = static_cast<int>(info->ai_addrlen);
    freeaddrinfo(info);
    if (!s.Valid() || connect(s.Get(), reinterpret_cast<sockaddr*>(&target), len) != 0) {
      return Socket();
    }
    return s;
  }

  WinsockStartup winsock_ = StartWinsock();
  SocketSlot slot_{INVALID_SOCKET};
};

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + seed + (i >> 16));
  return v;
}

// Sends `data` from `from` while `to` reads it.
void ExpectTransfer(ByteStream& from, ByteStream& to, const std::vector<uint8_t>& data) {
  auto writer = std::async(std::launch::async, [&] { return from.Write(data.data(), data.size()); });
  std::vector<uint8_t> got(data.size());
  EXPECT_TRUE(to.ReadExact(got.data(), got.size()));
  EXPECT_TRUE(writer.get());
  EXPECT_EQ(got, data);
}

TEST_F(SocketTest, LargeRoundTripBothWays) {
  const uint16_t port = Listen(false);
  Socket client = Connect("127.0.0.1", port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  EXPECT_EQ(server.peer, "::ffff:127.0.0.1");
  EXPECT_TRUE(server.loopback);
  server.socket.SetNoDelay(true);

  // More than several 1 MiB pieces, and not a multiple of them.
  ExpectTransfer(client, server.socket, Pattern(5 * 1048576 + 3, 1));
  ExpectTransfer(server.socket, client, Pattern(3 * 1048576 + 17, 9));
  EXPECT_TRUE(client.ReadExact(nullptr, 0));
  EXPECT_TRUE(client.Write(nullptr, 0));
}

TEST_F(SocketTest, ReadsOfMixedSizesKeepTheByteOrder) {
  // Small reads are served from one read-ahead, large ones directly; a moved socket
  // keeps what it had read ahead.
  const uint16_t port = Listen(true);
  Socket client = Connect("127.0.0.1", port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  const std::vector<uint8_t> data = Pattern(3 << 20, 5);
  std::thread writer([&] { EXPECT_TRUE(client.Write(data.data(), data.size())); });
  std::vector<uint8_t> got(data.size());
  const size_t sizes[] = {4, 1, 32789, 4, 0x40000, 3, 0x180000, 17};
  size_t at = 0;
  Socket reader = std::move(server.socket);
  for (size_t i = 0; at < got.size(); ++i) {
    const size_t n = std::min(sizes[i % std::size(sizes)], got.size() - at);
    ASSERT_TRUE(reader.ReadExact(got.data() + at, n));
    at += n;
    if (i == 2) reader = Socket(std::move(reader));
  }
  writer.join();
  EXPECT_EQ(got, data);
}

TEST_F(SocketTest, IPv6LoopbackPeer) {
  const uint16_t port = Listen(false);
  Socket client = Connect("::1", port);
  if (!client.Valid()) GTEST_SKIP() << "no IPv6 loopback here";
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  EXPECT_EQ(server.peer, "::1");
  EXPECT_TRUE(server.loopback);
}

TEST_F(SocketTest, ReadTimeoutFailsTheRead) {
  const uint16_t port = Listen(false);
  Socket client = Connect("127.0.0.1", port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  server.socket.SetReadTimeout(300);
  const auto start = std::chrono::steady_clock::now();
  uint8_t byte = 0;
  EXPECT_FALSE(server.socket.ReadExact(&byte, 1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);
}

TEST_F(SocketTest, OrderlyCloseFailsTheRead) {
  const uint16_t port = Listen(false);
  Socket client = Connect("127.0.0.1", port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  const uint8_t two[2] = {1, 2};
  ASSERT_TRUE(client.Write(two, 2));
  client.Close();
  uint8_t got[3] = {};
  EXPECT_FALSE(server.socket.ReadExact(got, 3));  // two bytes arrive, then the close
}

TEST_F(SocketTest, ShutdownFromAnotherThreadWakesBlockedRead) {
  const uint16_t port = Listen(false);
  Socket client = Connect("127.0.0.1", port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  auto reader = std::async(std::launch::async, [&] {
    uint8_t byte = 0;
    return server.socket.ReadExact(&byte, 1);
  });
  std::this_thread::sleep_for(200ms);  // let the read block
  server.socket.Shutdown();
  const bool woke = reader.wait_for(5s) == std::future_status::ready;
  if (!woke) client.Close();  // unblock the reader so the test can end
  EXPECT_TRUE(woke);
  EXPECT_FALSE(reader.get());
  server.socket.Shutdown();  // a second call is harmless
}

TEST_F(SocketTest, BusyPortFailsListen) {
  const uint16_t port = Listen(false);
  SocketSlot second{INVALID_SOCKET};
  EXPECT_FALSE(ListenTcp(second, port, false));
  EXPECT_FALSE(ListenTcp(second, port, true));
  EXPECT_EQ(second.load(), INVALID_SOCKET);
}

TEST_F(SocketTest, UsbOnlyListensOnIPv4LoopbackOnly) {
  const uint16_t port = Listen(true);
  EXPECT_FALSE(Connect("::1", port).Valid());
  for (const LocalAddress& a : LocalAddresses()) {
    SCOPED_TRACE(a.address);
    EXPECT_FALSE(Connect(a.address.c_str(), port).Valid());
  }
  Socket client = Connect("127.0.0.1", port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  EXPECT_EQ(server.peer, "127.0.0.1");
  EXPECT_TRUE(server.loopback);
}

TEST_F(SocketTest, LanPeerIsNotLoopback) {
  const auto addresses = LocalAddresses();
  if (addresses.empty()) GTEST_SKIP() << "no non-loopback IPv4 address on this machine";
  const uint16_t port = Listen(false);
  Socket client = Connect(addresses[0].address.c_str(), port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  EXPECT_EQ(server.peer, "::ffff:" + addresses[0].address);
  EXPECT_FALSE(server.loopback);
}

TEST_F(SocketTest, CloseListenSocketWakesAccept) {
  Listen(false);
  auto acceptor = std::async(std::launch::async, [&] {
    return AcceptConnection(slot_.load()).socket.Valid();
  });
  std::this_thread::sleep_for(200ms);
  CloseListenSocket(slot_);
  EXPECT_EQ(slot_.load(), INVALID_SOCKET);
  ASSERT_EQ(acceptor.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(acceptor.get());
  CloseListenSocket(slot_);  // nothing left to close
}

TEST_F(SocketTest, LocalAddressesAreUsableIPv4) {
  for (const LocalAddress& a : LocalAddresses()) {
    SCOPED_TRACE(a.address);
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, a.address.c_str(), &parsed), 1);
    EXPECT_NE(a.address.rfind("127.", 0), 0u);
    EXPECT_NE(a.address.rfind("169.254.", 0), 0u);
  }
}

TEST_F(SocketTest, WriteToAPeerThatStopsReadingFailsAfterTheSendTimeout) {
  const uint16_t port = Listen(false);
  Socket device = Connect("127.0.0.1", port);
  ASSERT_TRUE(device.Valid());
  AcceptedConnection host = AcceptConnection(slot_.load());
  ASSERT_TRUE(host.socket.Valid());
  host.socket.SetSendTimeout(300);
  // Far more than the buffers of both ends hold; the device never reads.
  const std::vector<uint8_t> data(256u << 20, 0x5A);
  const auto start = std::chrono::steady_clock::now();
  std::future<bool> written = std::async(std::launch::async, [&] { return host.socket.Write(data.data(), data.size()); });
  ASSERT_EQ(written.wait_for(20s), std::future_status::ready) << "the write never gave up";
  EXPECT_FALSE(written.get());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
}

}  // namespace
}  // namespace kelm

namespace kelm {
namespace {

TEST_F(SocketTest, ReadsOfEverySizeFromOneWriteGetTheirOwnBytes) {
  const uint16_t port = Listen(false);
  Socket client = Connect("127.0.0.1", port);
  ASSERT_TRUE(client.Valid());
  AcceptedConnection server = AcceptConnection(slot_.load());
  ASSERT_TRUE(server.socket.Valid());
  // Small reads come out of what a larger receive brought in; large ones bypass it.
  const std::vector<size_t> sizes = {4, 13, 1, 16384, 16383, 5, 70000, 2, 4, 200000, 3};
  size_t total = 0;
  for (size_t n : sizes) total += n;
  const std::vector<uint8_t> data = Pattern(total, 9);
  auto writer = std::async(std::launch::async, [&] { return client.Write(data.data(), data.size()); });
  std::vector<uint8_t> got;
  for (size_t n : sizes) {
    std::vector<uint8_t> piece(n);
    ASSERT_TRUE(server.socket.ReadExact(piece.data(), n)) << n;
    got.insert(got.end(), piece.begin(), piece.end());
  }
  EXPECT_TRUE(writer.get());
  EXPECT_EQ(got, data);
  // Nothing is left over: the next read waits for new bytes.
  server.socket.SetReadTimeout(200);
  uint8_t extra = 0;
  EXPECT_FALSE(server.socket.ReadExact(&extra, 1));
}

TEST_F(SocketTest, ListenQueueTakesManyConnectionsAtOnce) {
  const uint16_t port = Listen(false);
  // Nobody accepts: every connect must still complete at once from the queue, not
  // after a retry of a dropped connection request (about a second).
  std::vector<Socket> clients;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 24; ++i) {
    clients.push_back(Connect("127.0.0.1", port));
    ASSERT_TRUE(clients.back().Valid()) << i;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
  for (int i = 0; i < 24; ++i) {
    EXPECT_TRUE(AcceptConnection(slot_.load()).socket.Valid()) << i;
  }
}

template <typename Address>
std::vector<uint8_t> AddressBytes(int family, const char* text) {
  Address a{};
  auto* raw = reinterpret_cast<sockaddr*>(&a);
  raw->sa_family = static_cast<ADDRESS_FAMILY>(family);
  if constexpr (std::is_same_v<Address, sockaddr_in>) {
    inet_pton(AF_INET, text, &a.sin_addr);
  } else {
    inet_pton(AF_INET6, text, &a.sin6_addr);
  }
  const auto* p = reinterpret_cast<const uint8_t*>(&a);
  return {p, p + sizeof a};
}

TEST(DescribePeerTest, OnlyWholeAddressesHaveAPeerText) {
  const std::vector<uint8_t> v4 = AddressBytes<sockaddr_in>(AF_INET, "10.1.2.3");
  const std::vector<uint8_t> v6 = AddressBytes<sockaddr_in6>(AF_INET6, "::1");
  struct Case {
    std::vector<uint8_t> address;
    bool ok;
    std::string text;
    bool loopback;
  };
  const std::vector<Case> cases = {
      {v4, true, "10.1.2.3", false},
      {AddressBytes<sockaddr_in>(AF_INET, "127.0.0.2"), true, "127.0.0.2", true},
      {v6, true, "::1", true},
      {AddressBytes<sockaddr_in6>(AF_INET6, "::ffff:192.168.1.20"), true, "::ffff:192.168.1.20", false},
      {{v4.begin(), v4.begin() + 4}, false, "", false},                   // cut short
      {{v6.begin(), v6.begin() + sizeof(sockaddr_in)}, false, "", false},  // IPv6 family, IPv4 size
      {AddressBytes<sockaddr_in>(AF_UNSPEC, "10.1.2.3"), false, "", false},
      {{}, false, "", false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string text;
    bool loopback = false;
    EXPECT_EQ(DescribePeer(cases[i].address, text, loopback), cases[i].ok) << i;
    if (cases[i].ok) {
      EXPECT_EQ(text, cases[i].text) << i;
      EXPECT_EQ(loopback, cases[i].loopback) << i;
    }
  }
}

}  // namespace
}  // namespace kelm
