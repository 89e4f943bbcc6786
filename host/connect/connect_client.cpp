// The relay client's threads: sign-in and reconnect, keep-alive, and one thread per
// admitted connect request.
#include "connect/connect_client.h"

#include <algorithm>
#include <chrono>
#include <format>
#include <random>
#include <utility>
#include <variant>

#include "connect/relay_messages.h"
#include "connect/websocket_client.h"
#include "core/clock.h"
#include "core/crypto.h"
#include "core/log.h"
#include "core/pairing.h"
#include "core/text.h"

namespace kelm {
namespace {

constexpr int32_t kReceiveTimeoutMs = 75000;
constexpr size_t kMessageMax = 65536;
constexpr uint64_t kWarningWindowMs = 10000;

constexpr char kNoServerText[] = "No tavro Connect server is set.";
constexpr char kUnexpectedText[] = "The tavro Connect server didn't answer as expected.";
constexpr char kSignInFailedText[] = "Couldn't sign in to the tavro Connect server.";
constexpr char kRefusedText[] = "The tavro Connect server didn't accept this PC.";

uint64_t NowMs() { return NowMicros() / 1000; }

}  // namespace

ConnectClient::ConnectClient(Pairing& pairing, std::string version, StreamCallback onStream)
    : pairing_(pairing), version_(std::move(version)), onStream_(std::move(onStream)), warnings_(kWarningWindowMs) {}

ConnectClient::~ConnectClient() {
  std::lock_guard configuring(configureMutex_);
  Stop();
}

void ConnectClient::SetOptions(Options settings) {
  std::lock_guard lock(mutex_);
  settings_ = std::move(settings);
}

std::string ConnectClient::DefaultStun() const {
  std::lock_guard lock(mutex_);
  return settings_.defaultStun;
}

ConnectClient::Status ConnectClient::GetStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

void ConnectClient::SetStateCallback(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  stateCallback_ = std::move(callback);
}

void ConnectClient::Configure(bool enabled, const std::string& server) {
  std::lock_guard configuring(configureMutex_);
  {
    std::lock_guard lock(mutex_);
    if (enabled == enabled_ && server == server_) return;
    enabled_ = enabled;
    server_ = server;
  }
  Stop();
  if (!enabled) {
    SetState(State::Off, "");
  } else if (server.empty()) {
    SetState(State::Off, kNoServerText);
  } else {
    Start(server);
  }
}

void ConnectClient::Start(const std::string& server) {
  std::lock_guard lock(mutex_);
  stopping_ = false;
  phonesChanged_ = false;
  finished_.clear();
  reconnectThread_ = std::thread([this, server, settings = settings_] { RunLoop(server, settings); });
}

void ConnectClient::Stop() {
  std::shared_ptr<WebSocketClient> socket;
  std::thread reconnect;
  std::list<RequestThread> requests;
  std::function<void()> onStopping;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    onStopping = settings_.onStopping;
    socket = socket_;
    // Only streams still being set up are listed; a stream handed to a session is
    // the session's to close.
    for (RelayIceStream* stream : activeStreams_) stream->Close();
    reconnect = std::move(reconnectThread_);
    requests.splice(requests.end(), requests_);
    finished_.clear();
  }
  if (onStopping) onStopping();
  wake_.notify_all();
  if (socket) socket->Close();
  if (reconnect.joinable()) reconnect.join();
  for (RequestThread& r : requests) {
    if (r.thread.joinable()) r.thread.join();
  }
}

void ConnectClient::SetState(State state, const std::string& detail) {
  std::function<void()> callback;
  {
    std::lock_guard lock(mutex_);
    if (status_.state == state && status_.detail == detail) return;
    status_.state = state;
    status_.detail = detail;
    callback = stateCallback_;
  }
  if (callback) callback();
}

bool ConnectClient::Stopping() {
  std::lock_guard lock(mutex_);
  return stopping_;
}

bool ConnectClient::Interrupted() {
  std::lock_guard lock(mutex_);
  return stopping_ || phonesChanged_;
}

void ConnectClient::RefusalWarning(const std::string& key, const std::string& text) {
  uint64_t suppressed = 0;
  bool allowed = false;
  {
    std::lock_guard lock(mutex_);
    allowed = warnings_.Allow(key, NowMs(), suppressed);
  }
  if (!allowed) {
    LogDebug("{}", text);
    return;
  }
  if (suppressed != 0) {
    LogInfo("tavro Connect: {} similar warning{} not logged", suppressed, suppressed == 1 ? "" : "s");
  }
  LogWarn("{}", text);
}

std::vector<std::string> ConnectClient::UpdatePhones() const {
  std::vector<PhoneSeen> phones;
  for (const PairedDevice& d : pairing_.Devices()) {
    phones.push_back({d.lastSeen, PublicKeyId(d.key)});
  }
  return RelayPhoneList(std::move(phones));
}

void ConnectClient::OnPairingChanged() {
  const std::vector<std::string> phones = UpdatePhones();
  std::shared_ptr<WebSocketClient> socket;
  {
    std::lock_guard lock(mutex_);
    // Compared with the last hello, which a refused sign-in also sent: a refused PC
    // tries again whenever its list changes, even when the list became empty.
    if (!enabled_ || !reconnectThread_.joinable() || phones == lastHelloPhones_) return;
    phonesChanged_ = true;
    socket = socket_;
  }
  wake_.notify_all();
  if (socket) socket->Close();
}

bool ConnectClient::SendToServer(const std::string& text) {
  std::shared_ptr<WebSocketClient> socket;
  {
    std::lock_guard lock(mutex_);
    socket = socket_;
  }
  return socket && socket->Send(text);
}

void ConnectClient::RunLoop(std::string server, Options settings) {
  if (pcId_.empty()) pcId_ = PublicKeyId(pairing_.Identity().PublicKey());
  std::mt19937 generator(std::random_device{}());
  ReconnectBackoff backoff(settings.backoff);
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      phonesChanged_ = false;
    }
    SetState(State::Connecting, "");
    const Attempt attempt = ConnectOnce(server, settings);
    std::unique_lock lock(mutex_);
    if (stopping_) return;
    if (attempt.refused) {
      lock.unlock();
      SetState(State::Failed, kRefusedText);
      lock.lock();
      wake_.wait(lock, [this] { return stopping_ || phonesChanged_; });
      continue;
    }
    if (phonesChanged_) continue;
    const uint32_t delayMs = backoff.Next(attempt.onlineMs, std::generate_canonical<double, 32>(generator));
    wake_.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return stopping_ || phonesChanged_; });
  }
}

ConnectClient::Attempt ConnectClient::ConnectOnce(const std::string& server, const Options& settings) {
  auto socket = std::make_shared<WebSocketClient>();
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return {};
    socket_ = socket;
  }
  struct Release {
    ConnectClient& client;
    ~Release() {
      std::lock_guard lock(client.mutex_);
      client.socket_.reset();
      client.signedInPhones_.clear();
    }
  } release{*this};

  std::string error;
  if (!socket->Connect(Utf8ToWide(MakeWaitUrl(server, pcId_)), kReceiveTimeoutMs, error)) {
    if (Interrupted()) return {};
    LogWarn("tavro Connect: {}", error);
    SetState(State::Failed, "Can't reach the tavro Connect server (" + error + ").");
    return {};
  }
  std::string text;
  uint16_t closeCode = 0;
  std::optional<RelayMessage> message;
  if (socket->Receive(text, closeCode, kMessageMax)) message = ParseRelayMessage(text);
  if (Interrupted()) return {};
  if (!message || !std::holds_alternative<RelayChallenge>(*message)) {
    SetState(State::Failed, kUnexpectedText);
    return {};
  }

  const std::vector<std::string> phones = UpdatePhones();
  const std::string signedText = RelayHelloText(pcId_, std::get<RelayChallenge>(*message).nonce, phones);
  const Digest32 digest = Sha256({reinterpret_cast<const uint8_t*>(signedText.data()), signedText.size()});
  std::array<uint8_t, 64> signature{};
  HostIdentity& identity = pairing_.Identity();
  bool sent = identity.IsOpen() && identity.Sign(digest, signature);
  {
    std::lock_guard lock(mutex_);
    lastHelloPhones_ = phones;
  }
  sent = sent && socket->Send(MakeRelayHello(identity.PublicKey(), phones, version_, signature));
  if (Interrupted()) return {};
  if (!sent) {
    SetState(State::Failed, kSignInFailedText);
    return {};
  }

  message.reset();
  if (socket->Receive(text, closeCode, kMessageMax)) message = ParseRelayMessage(text);
  if (Interrupted()) return {};
  if (!message || !std::holds_alternative<RelayReady>(*message)) {
    if (closeCode == kCloseRefused) return {.refused = true};
    SetState(State::Failed, kUnexpectedText);
    return {};
  }

  std::vector<std::string> iceServers = std::get<RelayReady>(*message).iceServers;
  if (iceServers.empty()) iceServers.push_back(settings.defaultStun);
  {
    std::lock_guard lock(mutex_);
    status_.iceServers = iceServers;
    signedInPhones_ = phones;
  }
  SetState(State::Online, "");
  LogInfo("tavro Connect: online ({} paired phone{})", phones.size(), phones.size() == 1 ? "" : "s");
  const uint64_t onlineSince = NowMs();

  std::mutex keepAliveMutex;
  std::condition_variable keepAliveWake;
  bool keepAliveStop = false;
  std::thread keepAlive([&] {
    std::unique_lock lock(keepAliveMutex);
    while (!keepAliveWake.wait_for(lock, std::chrono::milliseconds(settings.keepAliveMs),
                                   [&] { return keepAliveStop; })) {
      lock.unlock();
      socket->Send(RelayPingText());
      lock.lock();
    }
  });

  while (socket->Receive(text, closeCode, kMessageMax)) {
    message = ParseRelayMessage(text);
    if (message && std::holds_alternative<RelayConnect>(*message)) {
      HandleRequest(std::get<RelayConnect>(*message), iceServers, settings);
    }
  }

  {
    std::lock_guard lock(keepAliveMutex);
    keepAliveStop = true;
  }
  keepAliveWake.notify_all();
  keepAlive.join();

  Attempt attempt{.onlineMs = NowMs() - onlineSince};
  if (closeCode == kCloseRefused) attempt.refused = true;
  if (closeCode == kCloseReplaced) {
    RefusalWarning("replaced", "tavro Connect: replaced by another connection of this PC");
  }
  LogInfo("tavro Connect: disconnected from the server (code {})", closeCode);
  return attempt;
}

void ConnectClient::HandleRequest(const RelayConnect& request, const std::vector<std::string>& iceServers,
                                  const Options& settings) {
  const std::vector<std::string> phones = UpdatePhones();
  const bool paired = std::binary_search(phones.begin(), phones.end(), request.phoneId);
  std::shared_ptr<WebSocketClient> socket;
  std::list<RequestThread> done;
  std::optional<std::string_view> refusal;
  {
    std::lock_guard lock(mutex_);
    socket = socket_;
    for (uint64_t serial : finished_) {
      const auto it = std::find_if(requests_.begin(), requests_.end(),
                                   [serial](const RequestThread& r) { return r.serial == serial; });
      if (it != requests_.end()) done.splice(done.end(), requests_, it);
    }
    finished_.clear();
    const uint64_t now = NowMicros();
    while (!acceptedTimes_.empty() && now - acceptedTimes_.front() > kRelayRateWindowUs) acceptedTimes_.pop_front();
    refusal = RelayRequestRefusal(enabled_, stopping_, paired, acceptedTimes_.size(), requests_.size());
    if (!refusal) {
      acceptedTimes_.push_back(now);
      const uint64_t serial = ++nextSerial_;
      // The relay may list a TURN entry first; the STUN setting takes only a STUN entry.
      std::string stun = FirstStunEntry(iceServers);
      requests_.push_back({serial, std::thread([this, request, stun = std::move(stun), settings, serial] {
                             ConnectPhone(request, stun, settings, serial);
                           })});
    }
  }
  // Finished threads only return, so joining them here is short.
  for (RequestThread& r : done) {
    if (r.thread.joinable()) r.thread.join();
  }
  if (refusal) {
    const std::string label = RelayLabel(request.phoneId);
    RefusalWarning(std::string(*refusal),
                   std::format("tavro Connect: request from {} refused ({})", label, *refusal));
    if (socket) socket->Send(MakeRelayReject(request.requestId, *refusal));
  }
}

void ConnectClient::ConnectPhone(RelayConnect request, std::string stunUrl, Options settings, uint64_t serial) {
  const std::string label = RelayLabel(request.phoneId);
  std::unique_ptr<RelayIceStream> ice;
  if (settings.iceFactory) {
    ice = settings.iceFactory(
        RelayIceRequest{.stunUrl = stunUrl,
                        .turnServers = request.turnServers,
                        .bindAddress = settings.iceBindAddress,
                        .relayOnlyForTest = settings.iceRelayOnly});
  }
  const auto finish = [this, serial] {
    std::lock_guard lock(mutex_);
    finished_.push_back(serial);
  };
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      finished_.push_back(serial);
      return;  // `ice` is destroyed on the way out; it was never listed
    }
    if (ice) activeStreams_.push_back(ice.get());
  }
  if (!ice) {
    // The phone waits for an answer: tell it at once rather than let it time out.
    LogWarn("tavro Connect: couldn't set up a connection for {}", label);
    SendToServer(MakeRelayReject(request.requestId, kRefuseBusy));
    finish();
    return;
  }

  bool connected = false;
  std::optional<IceCandidatePair> pair;
  const std::optional<std::string> answer = ice->Answer(request.offer, settings.answerWaitMs);
  if (!answer) {
    if (!Stopping()) {
      SendToServer(MakeRelayReject(request.requestId, kRefuseBusy));
      LogWarn("tavro Connect: invalid offer from {}", label);
    }
  } else {
    SendToServer(MakeRelayAnswer(request.requestId, *answer));
    connected = ice->WaitConnected(settings.connectedWaitMs);
    if (connected) {
      pair = ice->SelectedCandidates();
    } else if (!Stopping()) {
      LogWarn("tavro Connect: couldn't reach {} ({})", label,
              ice->TurnEntries() == 0 ? "no direct path, no relay" : "no direct path, relay failed");
    }
  }

  // Off the list before the stream leaves this thread: once a session owns it, it may
  // end and be freed at any time, and Stop must never reach it through this list.
  bool handOver = false;
  {
    std::lock_guard lock(mutex_);
    std::erase(activeStreams_, ice.get());
    handOver = connected && !stopping_;
  }
  if (handOver) {
    LogInfo("tavro Connect: {} connection to {}", RelayPathKind(pair), label);
    std::unique_ptr<ByteStream> stream = ice->TakeStream();
    if (stream && !(onStream_ && onStream_(std::move(stream), RelayPeerText(label, pair)))) {
      LogWarn("tavro Connect: no room for another device");
    }
  }
  ice.reset();
  finish();
}

}  // namespace kelm
