#include "support/test_tcp.h"

#include <ws2tcpip.h>

#include <thread>

namespace kelm::test {
namespace {
void StartWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
}  // namespace

uint16_t FreeLoopbackPort() {
  StartWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof(address);
  uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  closesocket(s);
  return port;
}

TestTcpStream::~TestTcpStream() { closesocket(socket_); }

bool TestTcpStream::ReadExact(void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    const int n = recv(socket_, p, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TestTcpStream::Write(const void* data, size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const int n = send(socket_, p, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void TestTcpStream::SetReadTimeout(uint32_t ms) {
  const DWORD value = ms;
  setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value), sizeof value);
}

void TestTcpStream::Shutdown() {
  shutdown(socket_, SD_BOTH);
  // As the host's socket does: under Wine shutdown alone leaves a receive already
  // waiting in another thread blocked until the peer closes.
  CancelIoEx(reinterpret_cast<HANDLE>(socket_), nullptr);
}

std::unique_ptr<TestTcpStream> ConnectTcp(const std::string& host, uint16_t port, uint32_t timeoutMs,
                                          uint32_t receiveBufferBytes) {
  StartWinsock();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, host.c_str(), &address.sin_addr);
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  // The host may still be starting: retry until the deadline.
  for (;;) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET) {
      if (receiveBufferBytes != 0) {
        const int size = static_cast<int>(receiveBufferBytes);
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
      }
      if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        auto stream = std::make_unique<TestTcpStream>(s);
        stream->SetReadTimeout(15000);
        return stream;
      }
      closesocket(s);
    }
    if (GetTickCount64() >= deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::pair<std::unique_ptr<TestTcpStream>, std::unique_ptr<TestTcpStream>> LoopbackPair() {
  StartWinsock();
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    closesocket(listener);
    return {};
  }
  auto device = ConnectTcp("127.0.0.1", ntohs(address.sin_port));
  SOCKET accepted = accept(listener, nullptr, nullptr);
  closesocket(listener);
  if (!device || accepted == INVALID_SOCKET) return {};
  auto host = std::make_unique<TestTcpStream>(accepted);
  host->SetReadTimeout(15000);
  return {std::move(host), std::move(device)};
}

}  // namespace kelm::test
