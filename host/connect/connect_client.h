#pragma once
// The relay client: keeps the PC signed in to the tavro Connect server, admits the
// paired phones' connect requests and hands each connected stream to the host.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "connect/reconnect_backoff.h"
#include "connect/relay_ice.h"
#include "connect/relay_request_rules.h"
#include "core/byte_stream.h"

namespace kelm {

class Pairing;
class WebSocketClient;

class ConnectClient {
 public:
  enum class State : uint32_t { Off = 0, Connecting = 1, Online = 2, Failed = 3 };
  static constexpr char kDefaultStunEntry[] = "stun:stun.l.google.com:3478";
  static constexpr uint16_t kCloseRefused = 4001;
  static constexpr uint16_t kCloseReplaced = 4009;

  struct Status {
    State state = State::Off;
    std::string detail;
    std::vector<std::string> iceServers;  // the last "ready" list, or the default STUN entry
  };

  // Takes the connected stream and the peer text; true when a session took it.
  using StreamCallback = std::function<bool(std::unique_ptr<ByteStream>, const std::string&)>;

  // The client's timing and addresses: the defaults are the production ones, which only
  // tests change (set before Configure).
  struct Options {
    std::string defaultStun = kDefaultStunEntry;
    std::string iceBindAddress;  // empty: gather on every local address
    bool iceRelayOnly = false;   // reach phones only through TURN (the relayed path)
    uint32_t keepAliveMs = 30000;
    BackoffTiming backoff;
    uint32_t answerWaitMs = 5000;
    uint32_t connectedWaitMs = 15000;
    RelayIceFactory iceFactory = DefaultRelayIceFactory();
    // Called by Stop once the client counts as stopping, while the server connection is
    // still open, so a test can show what a request arriving then is told.
    std::function<void()> onStopping;
  };

  ConnectClient(Pairing& pairing, std::string version, StreamCallback onStream);
  ~ConnectClient();
  ConnectClient(const ConnectClient&) = delete;
  ConnectClient& operator=(const ConnectClient&) = delete;

  // Stops, then signs in again with the new values; the same values change nothing.
  // Callers are serialised.
  void Configure(bool enabled, const std::string& server);
  Status GetStatus() const;
  void SetStateCallback(std::function<void()> callback);
  // The paired devices changed: sign in again at once when the phone list differs.
  void OnPairingChanged();

  void SetOptions(Options settings);
  // The STUN entry devices are told when the relay gave none.
  std::string DefaultStun() const;

 private:
  struct Attempt {
    uint64_t onlineMs = 0;
    bool refused = false;
  };
  struct RequestThread {
    uint64_t serial = 0;  // never reused, unlike thread ids
    std::thread thread;
  };

  void Start(const std::string& server);
  void Stop();
  void RunLoop(std::string server, Options settings);
  Attempt ConnectOnce(const std::string& server, const Options& settings);
  void HandleRequest(const RelayConnect& request, const std::vector<std::string>& iceServers,
                     const Options& settings);
  void ConnectPhone(RelayConnect request, std::string stunUrl, Options settings, uint64_t serial);
  std::vector<std::string> UpdatePhones() const;
  void SetState(State state, const std::string& detail);
  bool SendToServer(const std::string& text);
  // Stop or a phone-list change has ended this attempt.
  bool Interrupted();
  bool Stopping();
  void RefusalWarning(const std::string& key, const std::string& text);

  Pairing& pairing_;
  const std::string version_;
  const StreamCallback onStream_;
  std::string pcId_;  // reconnect thread only

  std::mutex configureMutex_;  // Configure and Stop, one caller at a time

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Status status_;
  std::function<void()> stateCallback_;
  bool enabled_ = false;
  std::string server_;
  bool stopping_ = true;
  bool phonesChanged_ = false;
  std::thread reconnectThread_;
  std::shared_ptr<WebSocketClient> socket_;
  std::vector<std::string> signedInPhones_;
  std::vector<std::string> lastHelloPhones_;
  std::list<RequestThread> requests_;
  std::vector<uint64_t> finished_;
  uint64_t nextSerial_ = 0;
  std::vector<RelayIceStream*> activeStreams_;
  std::deque<uint64_t> acceptedTimes_;
  Options settings_;
  LogThrottle warnings_;
};

}  // namespace kelm
