#pragma once
// What the relay client needs from the ICE layer for one phone: answer the offer,
// wait for a path, then hand over the connected byte stream. Tests put a stand-in
// here that connects over loopback TCP.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connect/relay_messages.h"
#include "core/byte_stream.h"

namespace kelm {

struct IceCandidatePair {
  std::string localType, localAddress, remoteType, remoteAddress;
};

// One accepted request's ICE set-up.
struct RelayIceRequest {
  std::string stunUrl;                         // "stun:..." or empty: no STUN server
  std::vector<RelayTurnServer> turnServers;    // from the request, as the relay sent them
  std::string bindAddress;                     // local address to gather on; empty: all
  bool relayOnlyForTest = false;               // tests: reach the phone only through TURN
};

class RelayIceStream {
 public:
  virtual ~RelayIceStream() = default;
  // How many TURN entries the set-up kept (at most 2).
  virtual size_t TurnEntries() const = 0;
  // The PC's session description for the phone's offer, or nothing.
  virtual std::optional<std::string> Answer(std::string_view offer, uint32_t timeoutMs) = 0;
  // True once a path is up and the stream was not closed.
  virtual bool WaitConnected(uint32_t timeoutMs) = 0;
  virtual std::optional<IceCandidatePair> SelectedCandidates() = 0;
  // Ends the stream and every wait; idempotent, any thread, also after TakeStream.
  virtual void Close() = 0;
  // The connected stream as an owned byte stream (read time-out 0). Called once.
  virtual std::unique_ptr<ByteStream> TakeStream() = 0;
};

// Null when the stream cannot be created. The factory keeps at most 2 TURN entries,
// server by server and URL by URL, skipping URLs it cannot use.
using RelayIceFactory = std::function<std::unique_ptr<RelayIceStream>(const RelayIceRequest&)>;

// The factory the host uses.
RelayIceFactory DefaultRelayIceFactory();

}  // namespace kelm
