#include "core/socket.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

#include "core/net_address.h"

namespace kelm {
namespace {

// Each system call moves at most 1 MiB so its 32-bit length never overflows.
constexpr size_t kMaxChunk = 0x100000;

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
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
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    const int got = recv(socket_, p, static_cast<int>(std::min(n, kMaxChunk)), 0);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
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

WinsockGuard::WinsockGuard() {
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockGuard::~WinsockGuard() {
  if (started_) WSACleanup();
}

bool ListenTcp(SocketSlot& slot, uint16_t port, bool usbOnly) {
  constexpr DWORD kFlags = WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT;
  Socket s(WSASocketW(AF_INET6, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kFlags));
  if (!s.valid()) return false;
  bool bound = false;
  if (!usbOnly) {
    const DWORD off = 0;
    const BOOL on = TRUE;
    setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
               sizeof(off));
    setsockopt(s.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof(on));
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    addr.sin6_addr = in6addr_any;
    bound = bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  } else {
    s = Socket(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, kFlags));
    if (!s.valid()) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bound = bind(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
  }
  if (!bound || listen(s.get(), 4) != 0) return false;
  const SOCKET old = slot.exchange(s.Release());
  if (old != INVALID_SOCKET) closesocket(old);
  return true;
}

AcceptedConnection AcceptConnection(SOCKET listenSocket) {
  AcceptedConnection result;
  alignas(sockaddr_storage) unsigned char buffer[128] = {};
  int length = sizeof(buffer);
  const SOCKET s = accept(listenSocket, reinterpret_cast<sockaddr*>(buffer), &length);
  if (s == INVALID_SOCKET) return result;
  // Children (adb) must never inherit a connection.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  result.socket = Socket(s);
  char text[INET6_ADDRSTRLEN] = {};
  const auto* family = reinterpret_cast<const sockaddr*>(buffer);
  if (family->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(buffer);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
    result.loopback = reinterpret_cast<const unsigned char*>(&v4->sin_addr)[0] == 127;
  } else if (family->sa_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(buffer);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
    std::span<const uint8_t, 16> bytes(reinterpret_cast<const uint8_t*>(&v6->sin6_addr), 16);
    result.loopback = IsLoopbackIPv6(bytes);
  }
  result.peer = text;
  return result;
}

void CloseListenSocket(SocketSlot& slot) {
  const SOCKET old = slot.exchange(INVALID_SOCKET);
  if (old != INVALID_SOCKET) closesocket(old);
}

}  // namespace kelm
