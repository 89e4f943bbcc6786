#pragma once
// A minimal relay server on 127.0.0.1 for the relay benchmarks: one WebSocket at a
// time, a challenge, "ready" after any hello, and the PC's later texts queued.
#include <winsock2.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace kelm::bench {

class BenchRelayServer {
 public:
  BenchRelayServer() = default;
  ~BenchRelayServer();
  BenchRelayServer(const BenchRelayServer&) = delete;
  BenchRelayServer& operator=(const BenchRelayServer&) = delete;

  bool Start();
  uint16_t Port() const { return port_; }
  // A text frame to the PC signed in now; false when none is.
  bool SendToPc(const std::string& text);
  // The PC's next text after its hello ("ping" texts are skipped).
  std::optional<std::string> NextFromPc(int timeoutMs);
  bool WaitOnline(int timeoutMs);
  // Waits until `count` PCs in all have signed in, the last of them still connected.
  bool WaitSignIns(int count, int timeoutMs);
  // The "iceServers" value (a JSON array) of later "ready" messages; set before Start.
  void SetReadyIceServers(std::string jsonArray) { readyIceServers_ = std::move(jsonArray); }

 private:
  void AcceptLoop();
  void Serve(SOCKET s);

  SOCKET listener_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  SOCKET pc_ = INVALID_SOCKET;  // signed in
  std::deque<std::string> texts_;
  int signIns_ = 0;
  std::string readyIceServers_ = R"(["stun:127.0.0.1:3478"])";
};

}  // namespace kelm::bench
