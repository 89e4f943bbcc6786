#include "core/socket.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/net_address.h"

namespace kelm {
namespace {

// Each system call moves at most 1 MiB so its 32-bit length never overflows.
constexpr size_t kMaxChunk = 0x100000;
// Reads shorter than this go through the read-ahead buffer.
constexpr size_t kReadAhead = 0x40000;

}  // namespace

Socket::Socket(Socket&& other) noexcept
    : readAhead_(std::move(other.readAhead_)),
      readPos_(std::exchange(other.readPos_, 0)),
      readEnd_(std::exchange(other.readEnd_, 0)),
      socket_(other.Release()) {}

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    readAhead_ = std::move(other.readAhead_);
    readPos_ = std::exchange(other.readPos_, 0);
    readEnd_ = std::exchange(other.readEnd_, 0);
    socket_ = other.Release();
  }
  return *this;
}

SOCKET Socket::Release() {
  const SOCKET s = socket_;
  socket_ = INVALID_SOCKET;
  return s;
}

void Socket::Close() {
  if (socket_ != INVALID_SOCKET) {
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
}

bool Socket::ReadExact(void* buffer, size_t n) {
  auto* p = static_cast<uint8_t*>(buffer);
  const size_t buffered = std::min(n, readEnd_ - readPos_);
  if (buffered != 0) {
    std::memcpy(p, readAhead_.data() + readPos_, buffered);
    readPos_ += buffered;
    p += buffered;
    n -= buffered;
  }
  while (n > 0) {
    if (n >= kReadAhead) {
      // Large reads go straight into the caller's buffer.
      const int got = recv(socket_, reinterpret_cast<char*>(p), static_cast<int>(std::min(n, kMaxChunk)), 0);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
      continue;
    }
    // Small reads take whatever has arrived, so a record's header and a short body
    // come in with one system call and the next read finds the body here.
    if (readAhead_.empty()) readAhead_.resize(kReadAhead);
    const int got = recv(socket_, reinterpret_cast<char*>(readAhead_.data()), static_cast<int>(kReadAhead), 0);
    if (got <= 0) return false;
    const size_t take = std::min(n, static_cast<size_t>(got));
    std::memcpy(p, readAhead_.data(), take);
    readPos_ = take;
    readEnd_ = static_cast<size_t>(got);
    p += take;
    n -= take;
  }
  return true;
}

size_t Socket::PeekBuffered(void* out, size_t n) const {
  const size_t take = std::min(n, readEnd_ - readPos_);
  if (take != 0) std::memcpy(out, readAhead_.data() + readPos_, take);
  return take;
}

bool Socket::Write(const void* data, size_t n) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const int sent = send(socket_, p, static_cast<int>(std::min(n, kMaxChunk)), 0);
    if (sent <= 0) return false;
    p += sent;
    n -= static_cast<size_t>(sent);
  }
  return true;
}

void Socket::SetReadTimeout(uint32_t ms) {
  const DWORD value = ms;
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
             sizeof(value));
}

void Socket::SetSendTimeout(uint32_t ms) {
  const DWORD value = ms;
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value), sizeof(value));
}

void Socket::Shutdown() {
  if (socket_ == INVALID_SOCKET) return;
  shutdown(socket_, SD_BOTH);
  // shutdown alone does not always complete a receive already waiting in another
  // thread (Wine leaves it blocked until the peer closes); cancelling the socket's
  // pending I/O makes that recv fail at once. Later recv calls see the shutdown.
  CancelIoEx(reinterpret_cast<HANDLE>(socket_), nullptr);
}

void Socket::SetNoDelay(bool on) {
  const BOOL value = on ? TRUE : FALSE;
  setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
             sizeof(value));
}

WinsockStartup StartWinsock() {
  WSADATA data;
  return WinsockStartup(WSAStartup(MAKEWORD(2, 2), &data) == 0);
}

bool ListenTcp(SocketSlot& slot, uint16_t port, bool usbOnly) {
  constexpr DWORD kFlags = WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT;
  Socket s(WSASocketW(AF_INET6, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kFlags));
  if (!s.Valid()) return false;
  bool bound = false;
  if (!usbOnly) {
    const DWORD off = 0;
    const BOOL on = TRUE;
    setsockopt(s.Get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
               sizeof(off));
    setsockopt(s.Get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof(on));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    addr.sin6_addr = in6addr_any;
    bound = bind(s.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  } else {
    s = Socket(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kFlags));
    if (!s.Valid()) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound = bind(s.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  // The system's longest queue: devices that reconnect together must not wait for
  // a retry of their connect.
  if (!bound || listen(s.Get(), SOMAXCONN) != 0) return false;
  const SOCKET old = slot.exchange(s.Release());
  if (old != INVALID_SOCKET) closesocket(old);
  return true;
}

bool DescribePeer(std::span<const uint8_t> address, std::string& text, bool& loopback) {
  char buffer[INET6_ADDRSTRLEN] = {};
  sockaddr_storage storage{};
  if (address.size() < sizeof storage.ss_family || address.size() > sizeof storage) return false;
  std::memcpy(&storage, address.data(), address.size());
  if (storage.ss_family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    if (inet_ntop(AF_INET, &v4->sin_addr, buffer, sizeof buffer) == nullptr) return false;
    loopback = reinterpret_cast<const unsigned char*>(&v4->sin_addr)[0] == 127;
  } else if (storage.ss_family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (inet_ntop(AF_INET6, &v6->sin6_addr, buffer, sizeof buffer) == nullptr) return false;
    loopback = IsLoopbackIPv6(std::span<const uint8_t, 16>(reinterpret_cast<const uint8_t*>(&v6->sin6_addr), 16));
  } else {
    return false;
  }
  text = buffer;
  return !text.empty();
}

AcceptedConnection AcceptConnection(SOCKET listenSocket) {
  AcceptedConnection result;
  alignas(sockaddr_storage) unsigned char buffer[128] = {};
  int length = sizeof(buffer);
  Socket accepted(accept(listenSocket, reinterpret_cast<sockaddr*>(buffer), &length));
  if (!accepted.Valid()) return result;
  // Children (adb) must never inherit a connection.
  SetHandleInformation(reinterpret_cast<HANDLE>(accepted.Get()), HANDLE_FLAG_INHERIT, 0);
  // A peer whose address cannot be read (it reset before the accept) is a failed
  // accept: the connection is closed here and never reaches a session.
  if (length <= 0 || !DescribePeer(std::span<const uint8_t>(buffer, static_cast<size_t>(length)), result.peer,
                                   result.loopback)) {
    result.peer.clear();
    result.loopback = false;
    return result;
  }
  result.socket = std::move(accepted);
  return result;
}

void CloseListenSocket(SocketSlot& slot) {
  const SOCKET old = slot.exchange(INVALID_SOCKET);
  if (old != INVALID_SOCKET) closesocket(old);
}

}  // namespace kelm
