#pragma once
// The host's ICE set-up for one accepted relay request: an ICE stream behind the relay
// client's seam, handed over as the session's byte stream once a path is up.
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "connect/ice_stream.h"
#include "connect/relay_ice.h"

namespace kelm {

// The most TURN entries one stream keeps.
inline constexpr size_t kRelayIceTurnEntriesMax = 2;
// The one bind address other than "all" the ICE agent can gather on.
inline constexpr std::string_view kRelayIceLoopback = "127.0.0.1";

// What the ICE stream is created with; nothing when the bind address cannot be used.
struct RelayIceSetup {
  std::string stunServer;
  std::vector<tavro::connect::IceStream::TurnServer> turnServers;  // at most 2
  bool loopbackOnly = false;
  bool relayOnly = false;
};
std::optional<RelayIceSetup> MakeRelayIceSetup(const RelayIceRequest& request);

class IceRelayStream final : public RelayIceStream {
 public:
  // Null when the set-up is refused or the ICE stream cannot be created.
  static std::unique_ptr<IceRelayStream> Create(const RelayIceRequest& request);

  size_t TurnEntries() const override { return turnEntries_; }
  std::optional<std::string> Answer(std::string_view offer, uint32_t timeoutMs) override;
  bool WaitConnected(uint32_t timeoutMs) override;
  std::optional<IceCandidatePair> SelectedCandidates() override;
  void Close() override;
  std::unique_ptr<ByteStream> TakeStream() override;

 private:
  IceRelayStream(std::unique_ptr<tavro::connect::IceStream> stream, size_t turnEntries);
  // The stream while this object owns it; `live_` is the same pointer and is cleared
  // (under `mu_`) at the hand-over, so a late Close never reaches a session's stream.
  std::unique_ptr<tavro::connect::IceStream> stream_;
  tavro::connect::IceStream* live_ = nullptr;
  std::mutex mu_;
  bool closed_ = false;
  size_t turnEntries_ = 0;
};

}  // namespace kelm
