#pragma once
// UDP responder that lets a device on the local network find the PC.
#include <winsock2.h>

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace kelm {

inline constexpr uint16_t kDiscoveryPort = 27184;
inline constexpr uint16_t kDiscoveryVersion = 3;

// "KELM?" followed by at least two bytes.
bool IsDiscoveryProbe(std::span<const uint8_t> datagram);
// "KELM!", version, TCP port, name length and the UTF-8 name.
std::vector<uint8_t> DiscoveryReply(uint16_t tcpPort, std::string_view pcName);

class DiscoveryResponder {
 public:
  DiscoveryResponder() = default;
  ~DiscoveryResponder() { Stop(); }
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  // False when UDP port 27184 cannot be bound. Only on a stopped responder.
  bool Start(uint16_t tcpPort, std::string pcName);
  // True while the responder thread exists; read from other threads.
  bool Active() const { return active_.load(); }
  void Stop();

 private:
  void Run();

  std::atomic<SOCKET> socket_{INVALID_SOCKET};
  std::thread thread_;
  std::atomic<bool> active_{false};
  uint16_t port_ = 0;
  std::string name_;
};

}  // namespace kelm
