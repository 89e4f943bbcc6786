#pragma once
// TCP transport, Winsock start-up and the listening socket.
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/byte_stream.h"
#include "core/unique_any.h"

namespace kelm {

class Socket final : public ByteStream {
 public:
  Socket() = default;
  explicit Socket(SOCKET s) : socket_(s) {}
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  ~Socket() override { Close(); }

  bool ReadExact(void* buffer, size_t n) override;
  bool Write(const void* data, size_t n) override;
  void SetReadTimeout(uint32_t ms) override;
  void Shutdown() override;
  void SetSendTimeout(uint32_t ms) override;
  size_t BufferedBytes() const override { return readEnd_ - readPos_; }
  size_t PeekBuffered(void* out, size_t n) const override;

  void SetNoDelay(bool on);
  void Close();
  bool Valid() const { return socket_ != INVALID_SOCKET; }
  SOCKET Get() const { return socket_; }
  SOCKET Release();

 private:
  // Bytes received beyond what the last read asked for (read on the session thread only).
  std::vector<uint8_t> readAhead_;
  size_t readPos_ = 0;
  size_t readEnd_ = 0;
  SOCKET socket_ = INVALID_SOCKET;
};

// WSAStartup(2.2) for the owner's lifetime; empty when Winsock did not start.
using WinsockStartup = UniqueCall<&WSACleanup>;
WinsockStartup StartWinsock();

// A socket slot shared between the owner and a worker; exchanged atomically so that
// only one side ever closes what it holds.
using SocketSlot = std::atomic<SOCKET>;

// Dual-stack [::]:port, or 127.0.0.1:port only when `usbOnly` (adb's reverse forwarding
// arrives on loopback). False when the port cannot be taken.
bool ListenTcp(SocketSlot& slot, uint16_t port, bool usbOnly);

struct AcceptedConnection {
  Socket socket;     // invalid when accept failed
  std::string peer;  // the peer's address text, without port
  bool loopback = false;
};

// Invalid socket when accept failed or the peer's address cannot be read.
AcceptedConnection AcceptConnection(SOCKET listenSocket);

// The peer text (address without port) of a socket address as accept returns it, and
// whether it is loopback; false for anything that is not a whole IPv4 or IPv6 address.
bool DescribePeer(std::span<const uint8_t> address, std::string& text, bool& loopback);

// Takes the socket out of the slot and closes it; wakes a thread blocked in accept.
void CloseListenSocket(SocketSlot& slot);

}  // namespace kelm
