#pragma once
// The device side's own TCP stream for end-to-end tests (plain Winsock), so that
// the tests do not lean on the host's socket code to reach the host.
#include <winsock2.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/byte_stream.h"

namespace kelm::test {

class TestTcpStream : public ByteStream {
 public:
  explicit TestTcpStream(SOCKET s) : socket_(s) {}
  ~TestTcpStream() override;
  bool ReadExact(void* data, size_t size) override;
  bool Write(const void* data, size_t size) override;
  void SetReadTimeout(uint32_t ms) override;
  void Shutdown() override;

 private:
  SOCKET socket_;
};

// Connects to host:port (IPv4 text); empty on failure. Starts Winsock on first use.
// A non-zero `receiveBufferBytes` shrinks the device's receive buffer before the
// connection is made (for tests of a device that stops reading).
std::unique_ptr<TestTcpStream> ConnectTcp(const std::string& host, uint16_t port, uint32_t timeoutMs = 5000,
                                          uint32_t receiveBufferBytes = 0);

// A loopback port nobody listens on right now (the system picks it); 0 on failure.
uint16_t FreeLoopbackPort();
// Two ends of one real loopback TCP connection: first the accepted (host) end, then
// the connecting (device) end.
std::pair<std::unique_ptr<TestTcpStream>, std::unique_ptr<TestTcpStream>> LoopbackPair();

}  // namespace kelm::test
