#pragma once
// One relay session's byte stream: an ICE agent finds a path to the phone, and a reliable
// ordered control block on top turns its datagrams into one byte stream.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavro::connect {

struct IceTestSettings;
struct TurnStats;

// The process-wide ICE log callback (level 0..3, text); none is installed by default.
using IceLogCallback = void (*)(int level, const char* text);
void SetIceLogCallback(IceLogCallback callback);

class IceStream {
 public:
  struct TurnServer {
    std::string host;
    uint16_t port = 0;
    std::string username;
    std::string password;
  };
  struct Config {
    std::string stunServer;               // "stun:host:port", or empty for none
    std::vector<TurnServer> turnServers;  // at most 2 are used
    bool relayFree = false;               // drop relay candidates from both descriptions
    const IceTestSettings* test = nullptr;  // tests only; never set from settings
  };
  struct CandidatePair {
    std::string localType, localAddress, remoteType, remoteAddress;
  };
  struct Impl;

  static std::unique_ptr<IceStream> Create(const Config& config);
  ~IceStream();
  IceStream(const IceStream&) = delete;
  IceStream& operator=(const IceStream&) = delete;

  // The PC's answer to the phone's offer, or nothing.
  std::optional<std::string> Answer(const std::string& offer, int timeoutMs);
  bool WaitConnected(int timeoutMs);
  std::optional<CandidatePair> SelectedCandidates();
  // -1 on time-out, 0 when closed and drained, else the bytes copied. timeoutMs < 0: no limit.
  long long Read(void* buffer, size_t size, int timeoutMs);
  // False once closed. With timeoutMs >= 0, a write that can hand nothing over for that
  // long (the peer keeps its window shut) closes the stream and fails.
  bool Write(const void* data, size_t size, int timeoutMs = -1);
  void Close();

  static std::optional<TurnServer> AddTurnServer(const std::string& url, const std::string& username,
                                                 const std::string& credential);

  // Observations for tests: the largest datagram queue and read buffer seen so far.
  size_t PeakQueuedDatagramsForTest() const;
  size_t PeakReadBufferForTest() const;
  // The TURN allocations' counters (401 and 438 answers, refreshes, relayed data).
  std::vector<TurnStats> TurnStatsForTest() const;
  // The control block's counters and the buffers' sizes, for diagnosing a stalled test.
  std::string DebugStateForTest() const;

 private:
  explicit IceStream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavro::connect
