// The ICE relay stream and the host's ICE factory: each accepted relay request gets an
// ICE stream, answered, waited for and handed over as a kelm::ConnectStream.
#include "connect/ice_relay_stream.h"

#include <algorithm>
#include <climits>

#include "connect/connect_stream.h"
#include "connect/juice.h"

namespace kelm {

namespace {
using tavro::connect::IceStream;

int ClampTimeout(uint32_t ms) { return static_cast<int>(std::min<uint32_t>(ms, INT_MAX)); }
}  // namespace

std::optional<RelayIceSetup> MakeRelayIceSetup(const RelayIceRequest& request) {
  RelayIceSetup setup;
  if (!request.bindAddress.empty()) {
    // The agent binds either every local address or loopback; any other address would
    // silently gather elsewhere than asked, so it is refused.
    if (request.bindAddress != kRelayIceLoopback) return std::nullopt;
    setup.loopbackOnly = true;
  }
  setup.stunServer = request.stunUrl;
  setup.relayOnly = request.relayOnlyForTest;
  for (const RelayTurnServer& server : request.turnServers) {
    for (const std::string& url : server.urls) {
      if (setup.turnServers.size() >= kRelayIceTurnEntriesMax) return setup;
      if (auto entry = IceStream::AddTurnServer(url, server.username, server.credential)) {
        setup.turnServers.push_back(std::move(*entry));
      }
    }
  }
  return setup;
}

std::unique_ptr<IceRelayStream> IceRelayStream::Create(const RelayIceRequest& request) {
  std::optional<RelayIceSetup> setup = MakeRelayIceSetup(request);
  if (!setup) return nullptr;
  tavro::connect::IceTestSettings test;
  test.loopbackOnly = setup->loopbackOnly;
  test.relayOnly = setup->relayOnly;
  IceStream::Config config;
  config.stunServer = setup->stunServer;
  config.turnServers = setup->turnServers;
  config.relayFree = false;
  // The stream copies the settings while it is created.
  if (setup->loopbackOnly || setup->relayOnly) config.test = &test;
  std::unique_ptr<IceStream> stream = IceStream::Create(config);
  if (!stream) return nullptr;
  return std::unique_ptr<IceRelayStream>(new IceRelayStream(std::move(stream), setup->turnServers.size()));
}

IceRelayStream::IceRelayStream(std::unique_ptr<IceStream> stream, size_t turnEntries)
    : stream_(std::move(stream)), live_(stream_.get()), turnEntries_(turnEntries) {}

// Answer, WaitConnected and SelectedCandidates run on the request thread, the only one
// that also takes the stream, so `stream_` is stable while they run.
std::optional<std::string> IceRelayStream::Answer(std::string_view offer, uint32_t timeoutMs) {
  if (!stream_) return std::nullopt;
  return stream_->Answer(std::string(offer), ClampTimeout(timeoutMs));
}

bool IceRelayStream::WaitConnected(uint32_t timeoutMs) {
  if (!stream_) return false;
  return stream_->WaitConnected(ClampTimeout(timeoutMs));
}

std::optional<IceCandidatePair> IceRelayStream::SelectedCandidates() {
  if (!stream_) return std::nullopt;
  auto pair = stream_->SelectedCandidates();
  if (!pair) return std::nullopt;
  return IceCandidatePair{pair->localType, pair->localAddress, pair->remoteType, pair->remoteAddress};
}

void IceRelayStream::Close() {
  std::lock_guard lock(mu_);
  closed_ = true;
  if (live_) live_->Close();
}

std::unique_ptr<ByteStream> IceRelayStream::TakeStream() {
  {
    std::lock_guard lock(mu_);
    // A stream closed before the hand-over would give the session a dead link.
    if (closed_ || !live_) return nullptr;
    live_ = nullptr;
  }
  auto connect = std::make_unique<ConnectStream>(std::move(stream_));
  connect->SetReadTimeout(0);
  return connect;
}

RelayIceFactory DefaultRelayIceFactory() {
  return [](const RelayIceRequest& request) -> std::unique_ptr<RelayIceStream> {
    return IceRelayStream::Create(request);
  };
}

}  // namespace kelm
