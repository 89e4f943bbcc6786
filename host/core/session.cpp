#include "core/session.h"

#include <algorithm>

#include "core/clock.h"
#include "core/log.h"
#include "core/net_address.h"
#include "core/utf8.h"
#include "desktop/file_transfer.h"
#include "desktop/input_router.h"
#include "media/audio_stream.h"
#include "media/mirror_target.h"
#include "media/session_display.h"
#include "media/session_display_rules.h"
#include "media/stream_context.h"

namespace kelm {
namespace {

constexpr uint32_t kPcVersionMin = 2;
constexpr uint32_t kPcVersionMax = 3;
constexpr size_t kHelloLimit = 4096;
constexpr size_t kMaxDeviceName = 64;
// Device clipboards taken per second; more than a person copies, few enough that a
// device sending 12 MiB images back to back cannot keep the PC decoding.
constexpr uint32_t kDeviceClipboardsPerSecond = 4;

const char* LinkWay(Session::Link link, bool remote) {
  switch (link) {
    case Session::Link::Usb: return "USB";
    case Session::Link::Relay: return "tavro Connect";
    case Session::Link::Wifi: return remote ? "the internet" : "Wi-Fi";
  }
  return "Wi-Fi";
}

}  // namespace

Session::Session(std::unique_ptr<ByteStream> stream, std::string peer, Link link, HostOptions options,
                 VirtualDisplayDriver& driver, Pairing& pairing, Callbacks callbacks, SessionParts parts,
                 Timing timing)
    : stream_(std::move(stream)),
      pairing_(pairing),
      peer_(std::move(peer)),
      callbacks_(std::move(callbacks)),
      parts_(std::move(parts)),
      timing_(timing),
      link_(link),
      options_(std::move(options)),
      driver_(driver),
      welcomeDeadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timing_.welcomeDeadlineMs)) {
  if (parts_.display) display_ = parts_.display(driver_, peer_);
  if (parts_.input) input_ = parts_.input(peer_);
  if (parts_.audio) {
    audio_ = parts_.audio(
        peer_, [this](const msg::Message& m) { return SendIfRunning(m); },
        [this](const std::string& text) {
          if (callbacks_.onMessage) callbacks_.onMessage(text);
        });
  }
}

Session::~Session() {
  running_ = false;
  stream_->Shutdown();
  StopServices();
}

void Session::Changed() {
  if (callbacks_.onChanged) callbacks_.onChanged();
}

bool Session::SendIfRunning(const msg::Message& message) { return running_ && Send(message); }

bool Session::AudioOn() const { return audio_ && audio_->On(); }

uint64_t Session::LastInputTick() const { return input_ ? input_->LastPointerTick() : 0; }

std::optional<RECT> Session::AppPlacementRect() const {
  if (Mirror() || !input_) return std::nullopt;
  return input_->Injector().TargetRect();
}

std::string Session::TransferText() const {
  std::lock_guard lock(transferMutex_);
  return transfer_ ? transfer_->StatusText() : std::string();
}

bool Session::SendFiles(const std::vector<std::wstring>& paths) {
  if (!running_) return false;
  std::lock_guard lock(transferMutex_);
  // A transfer part that has stopped refuses the files, so they are not lost unseen.
  return transfer_ && transfer_->QueueFiles(paths);
}

void Session::Stop() {
  running_ = false;
  stream_->Shutdown();
}

bool Session::Send(const msg::Message& message) {
  std::lock_guard lock(sendMutex_);
  if (!channel_.SealRecord(static_cast<uint8_t>(message.type), message.payload.data(), message.payload.size(),
                           pendingWrites_)) {
    return WriteFailedLocked();
  }
  // The read loop's answers wait while further records have arrived already: the
  // answers to one burst leave together. Every other sender writes at once, taking
  // along whatever waits.
  if (holdWrites_ && std::this_thread::get_id() == readerThread_) return true;
  return WritePendingLocked();
}

bool Session::WritePendingLocked() {
  if (pendingWrites_.empty()) return true;
  const bool written = stream_->Write(pendingWrites_.data(), pendingWrites_.size());
  pendingWrites_.clear();
  if (pendingWrites_.capacity() > kKeptWriteBuffer) std::vector<uint8_t>().swap(pendingWrites_);
  return written || WriteFailedLocked();
}

bool Session::WriteFailedLocked() {
  pendingWrites_.clear();
  // A failed or timed-out write may have sent part of a record: the stream is of
  // no further use, and the read loop must not go on serving a device that takes
  // nothing.
  if (running_.exchange(false)) {
    LogWarn("[{}] sending to the device failed or timed out - closing the connection", peer_);
  }
  stream_->Shutdown();
  return false;
}

void Session::HoldWrites(bool hold) {
  if (hold) {
    holdWrites_ = true;
    return;
  }
  // Never waits behind another sender's write (to a device that stopped reading, that
  // lasts until the send time-out): whoever holds the lock writes what waits, ours too.
  std::unique_lock lock(sendMutex_, std::try_to_lock);
  holdWrites_ = false;
  if (lock.owns_lock()) WritePendingLocked();
}

bool Session::SendBytes(uint8_t type, std::span<const uint8_t> bytes) {
  msg::Message m;
  m.type = static_cast<proto::MsgType>(type);
  m.payload.assign(bytes.begin(), bytes.end());
  return SendIfRunning(m);
}

bool Session::SendClipboard(uint8_t format, std::span<const uint8_t> bytes) {
  if (!running_ || !ready_ || (featureFlags_.load() & proto::kFeatureClipboard) == 0) return false;
  return Send(msg::MakeClipboard(static_cast<proto::ClipboardFormat>(format), bytes));
}

bool Session::SendNotification(uint32_t id, const std::string& app, const std::string& title,
                               const std::string& text) {
  if (!running_ || !ready_ || (featureFlags_.load() & proto::kFeatureNotifications) == 0) return false;
  return Send(msg::MakeNotification(id, app, title, text));
}

bool Session::SendConnectInfo(const msg::ConnectInfo& info) {
  if (!running_) return false;
  {
    std::lock_guard lock(connectInfoMutex_);
    if (lastConnectInfo_ && lastConnectInfo_->relayOn == info.relayOn &&
        lastConnectInfo_->relayServer == info.relayServer && lastConnectInfo_->iceServers == info.iceServers) {
      return true;
    }
    lastConnectInfo_ = info;
  }
  return Send(msg::MakeConnectInfo(info));
}

bool Session::SendWelcome(proto::WelcomeStatus status, const std::string& text) {
  msg::Welcome w;
  w.version = static_cast<uint16_t>(version_);
  w.status = static_cast<uint8_t>(status);
  w.useHevc = useHevc_ ? 1 : 0;
  w.fps = static_cast<uint16_t>(fps_);
  w.kbps = kbps_;
  w.displayMode = NormalisedDisplayMode(hello_.displayMode);
  w.pcName = options_.name;
  w.message = text;
  return Send(msg::MakeWelcome(w));
}

void Session::Run() {
  readerThread_ = std::this_thread::get_id();
  stream_->SetReadTimeout(timing_.handshakeMs);
  stream_->SetSendTimeout(options_.sendTimeoutMs);
  const AcceptResult accepted = channel_.Accept(*stream_, peer_, pairing_, link_ == Link::Relay, handshake_);
  bool reachedLoop = false;
  if (accepted == AcceptResult::Admitted) {
    // Published only now, with the handshake result complete: other threads read
    // the device's id once they see it.
    admitted_ = true;
  }
  if (accepted == AcceptResult::Admitted && callbacks_.claimSlot && !callbacks_.claimSlot()) {
    LogWarn("Rejecting connection from {}: too many sessions", peer_);
  } else if (accepted == AcceptResult::Admitted) {
    if (ReceiveHello()) {
      ApplyStreamWishes();
      if (SetUpDisplayAndWelcome()) {
        StartServices();
        reachedLoop = true;
        uint8_t type = 0;
        std::vector<uint8_t> payload;
        while (running_ && channel_.ReadRecord(*stream_, type, payload, SecureChannel::kMaxRecordPayload) &&
               type != static_cast<uint8_t>(proto::MsgType::Bye)) {
          const bool more = SecureChannel::RecordBuffered(*stream_);
          if (more) HoldWrites(true);
          OnMessage(type, payload);
          if (!more && holdWrites_) HoldWrites(false);
        }
        if (holdWrites_) HoldWrites(false);
      }
    }
  } else if (accepted == AcceptResult::LegacyApp) {
    LogWarn("[{}] an old version of the app tried to connect - it needs an update", peer_);
  } else if (accepted != AcceptResult::Refused) {
    LogWarn("[{}] secure handshake failed", peer_);
  }
  leaving_ = true;
  if (reachedLoop) {
    LogInfo("[{}] disconnected", peer_);
  }
  StopServices();
  ended_ = true;
  Changed();
  if (callbacks_.onEnded) callbacks_.onEnded();
}

bool Session::ReceiveHello() {
  stream_->SetReadTimeout(timing_.handshakeMs);
  uint8_t type = 0;
  std::vector<uint8_t> payload;
  if (!channel_.ReadRecord(*stream_, type, payload, kHelloLimit) ||
      type != static_cast<uint8_t>(proto::MsgType::Hello)) {
    LogWarn("[{}] no valid Hello received", peer_);
    return false;
  }
  const msg::Hello hello = msg::ParseHello(payload);
  if (!hello.valid) {
    LogWarn("[{}] malformed Hello", peer_);
    return false;
  }
  const uint32_t appMax = hello.versionMax;
  const uint32_t appMin = hello.versionMin;
  const uint32_t agreed = std::min(appMax, kPcVersionMax);
  std::string mismatch;
  if (agreed < kPcVersionMin) {
    mismatch = std::format(
        "This app is too old for tavro on the PC (protocol {}, the PC needs {} or newer). Update the app on this "
        "device.",
        appMax, kPcVersionMin);
  } else if (agreed < appMin) {
    mismatch = std::format(
        "tavro on the PC is too old for this app (protocol {}, the app needs {} or newer). Update tavro on the PC.",
        kPcVersionMax, appMin);
  }
  if (!mismatch.empty()) {
    LogWarn("[{}] incompatible protocol versions (app {}..{}, PC {}..{})", peer_, appMin, appMax, kPcVersionMin,
            kPcVersionMax);
    SendWelcome(proto::WelcomeStatus::IncompatibleVersions, mismatch);
    return false;
  }
  version_ = agreed;
  const std::string notice = callbacks_.getUpdateNotice ? callbacks_.getUpdateNotice() : std::string();
  if (!notice.empty()) {
    LogWarn("[{}] refused: {}", peer_, notice);
    SendWelcome(proto::WelcomeStatus::Refused, notice);
    return false;
  }
  // Names arrive from the device: keep them valid UTF-8 and whole characters.
  const std::string& name = hello.deviceName.empty() ? handshake_.deviceName : hello.deviceName;
  deviceName_ = std::string(msg::CutAtCharacter(SanitizeUtf8(name), kMaxDeviceName));
  hello_ = hello;
  return true;
}

void Session::ApplyStreamWishes() {
  fps_ = std::clamp<uint32_t>(hello_.fps == 0 ? 60 : hello_.fps, 10, 240);
  kbps_ = std::clamp<uint32_t>(hello_.kbps == 0 ? options_.bitrateKbps : hello_.kbps, 1000, 200000);
  remote_ = link_ == Link::Relay || (link_ == Link::Wifi && !IsPrivateAddress(peer_));
  useHevc_ = (hello_.flags & proto::kHelloFlagHevc) != 0 && (hello_.codecPreference == static_cast<uint8_t>(proto::VideoCodec::Hevc) || remote_);
  feedback_.ResetRate(kbps_, remote_);
  LogInfo("[{}] '{}' connected via {} ({}x{} panel, {} dpi, {} mode, {} fps, {} kbps)", peer_,
          SanitizeForLog(deviceName_),
          LinkWay(link_, remote_), hello_.panelWidth, hello_.panelHeight, hello_.dpi,
          hello_.displayMode == 1 ? "mirror" : "extend", fps_, kbps_);
}

bool Session::SetUpDisplayAndWelcome() {
  std::string error;
  displayDeadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timing_.displaySetupMs);
  stage_ = Stage::kDisplay;
  if (callbacks_.onDisplaySetup) callbacks_.onDisplaySetup();
  const bool shown = !display_ || display_->Setup(hello_, fps_, options_.driver, error);
  stage_ = Stage::kWelcomed;
  if (!shown) {
    LogError("[{}] {}", peer_, error);
    SendWelcome(driver_.IsOpen() ? proto::WelcomeStatus::Refused : proto::WelcomeStatus::DisplayFailedNoDriver, error);
    return false;
  }
  // Stopped meanwhile (by the display set-up limit, or the host stopping): whoever stopped
  // it said why.
  if (!running_) return false;
  if (!pairing_.IsPaired(handshake_.devicePublicKey)) {
    LogWarn("[{}] '{}' is no longer paired", peer_, SanitizeForLog(deviceName_));
    SendWelcome(proto::WelcomeStatus::Refused, "This device was removed on the PC. Pair it again.");
    return false;
  }
  if (display_) display_->ApplySettings(hello_.displayScale, hello_.displayFlags);
  SendWelcome(proto::WelcomeStatus::Accepted, "");
  if (callbacks_.getConnectInfo) {
    SendConnectInfo(callbacks_.getConnectInfo());
  }
  // The transfer part exists before the session counts as ready, so whoever sees it
  // ready can hand it files.
  CreateTransfer();
  ready_ = true;
  Changed();
  return true;
}

void Session::CreateTransfer() {
  if (!parts_.fileTransfer) return;
  auto transfer = parts_.fileTransfer([this](const msg::Message& m) { return SendIfRunning(m); },
                                      [this](const TransferEvent& event) {
                                        if (callbacks_.onTransfer) callbacks_.onTransfer(deviceName_, event);
                                        Changed();
                                      });
  std::lock_guard lock(transferMutex_);
  transfer_ = std::move(transfer);
}

void Session::StartServices() {
  stream_->SetReadTimeout(timing_.runningMs);
  featureFlags_ = hello_.featureFlags;
  const SendMessageFn send = [this](const msg::Message& m) { return SendIfRunning(m); };
  if (input_) StartInput(send);
  if (parts_.streamContext) {
    StreamSetup setup;
    setup.label = peer_;
    setup.hello = hello_;
    setup.hello.kbps = kbps_;
    setup.deviceName = deviceName_;
    setup.remote = remote_;
    setup.useHevc = useHevc_;
    setup.kbps = kbps_;
    setup.fps = fps_;
    setup.send = send;
    setup.feedback = &feedback_;
    if (input_) setup.input = InputHooksFor(*input_);
    setup.display = display_.get();
    setup.onStreamSize = [this](uint32_t width, uint32_t height) {
      streamWidth_ = width;
      streamHeight_ = height;
      Changed();
    };
    setup.onPipelineFailed = [this] {
      running_ = false;
      stream_->Shutdown();
    };
    context_ = parts_.streamContext(std::move(setup));
    if (context_ && parts_.video) video_ = parts_.video(*context_);
  }
  if (audio_) audio_->Apply(hello_.audio);
  Changed();
}

void Session::StartInput(const SendMessageFn& send) {
  // Input maps onto the mirrored display until the video pipeline reports what it captures.
  if (hello_.displayMode == 1) {
    if (const auto rect = MirroredMonitorRect(hello_.mirrorIndex)) input_->Injector().SetTargetRect(*rect);
  }
  input_->Start(static_cast<proto::PenMode>(hello_.penMode), static_cast<proto::TouchMode>(hello_.touchMode), send);
}

void Session::OnMessage(uint8_t type, const std::vector<uint8_t>& payload) {
  using proto::MsgType;
  switch (static_cast<MsgType>(type)) {
    case MsgType::PenSamples:
    case MsgType::TouchContacts:
    case MsgType::Key:
    case MsgType::Text:
    case MsgType::Pointer:
      if (input_) input_->OnMessage(type, payload);
      return;
    case MsgType::FileBegin:
    case MsgType::FileData:
    case MsgType::FileEnd:
    case MsgType::FileAck:
      if (transfer_) {
        transfer_->OnMessage(static_cast<MsgType>(type), payload.data(), payload.size());
        if (type == static_cast<uint8_t>(MsgType::FileBegin) || type == static_cast<uint8_t>(MsgType::FileEnd)) {
          Changed();
        }
      }
      return;
    case MsgType::KeyFrameRequest:
      feedback_.keyFrameRequested.store(true);
      return;
    case MsgType::Limits:
      if (const auto limits = msg::ParseLimits(payload)) feedback_.SetLimits(limits->kbps, limits->fps);
      return;
    case MsgType::FrameAck:
      feedback_.OnFrameAck(msg::ParseU64(payload));
      return;
    case MsgType::Audio:
      if (const auto flags = msg::ParseU8(payload)) {
        if (audio_) audio_->Apply(*flags);
        Changed();
      }
      return;
    case MsgType::DisplayOptions:
      if (const auto options = msg::ParseDisplayOptions(payload); options && display_) {
        display_->ApplySettings(options->scale, options->flags);
      }
      return;
    case MsgType::Clipboard:
      if ((featureFlags_.load() & proto::kFeatureClipboard) != 0 && callbacks_.onDeviceClipboard) {
        const auto now = std::chrono::steady_clock::now();
        if (now - clipboardSecond_ >= std::chrono::seconds(1)) {
          clipboardSecond_ = now;
          clipboardsThisSecond_ = 0;
        }
        if (++clipboardsThisSecond_ > kDeviceClipboardsPerSecond) {
          if (clipboardsThisSecond_ == kDeviceClipboardsPerSecond + 1) {
            LogDebug("[{}] clipboard messages beyond {} a second are dropped", peer_, kDeviceClipboardsPerSecond);
          }
          return;
        }
        if (auto clip = msg::ParseClipboard(payload)) {
          callbacks_.onDeviceClipboard(static_cast<uint8_t>(clip->format), std::move(clip->data));
        }
      }
      return;
    case MsgType::FeatureFlags:
      if (const auto flags = msg::ParseU8(payload)) featureFlags_ = *flags;
      return;
    case MsgType::StreamSize:
      if (const auto size = msg::ParseStreamSize(payload)) {
        feedback_.SetPendingResize({size->panelWidth, size->panelHeight, size->displayWidth, size->displayHeight});
      }
      return;
    case MsgType::NotificationActivate:
      // Only a device that takes notifications can have been shown one to activate.
      if ((featureFlags_.load() & proto::kFeatureNotifications) == 0) return;
      if (const auto id = msg::ParseU32(payload); id && callbacks_.onLaunchApp) callbacks_.onLaunchApp(*id);
      return;
    case MsgType::Ping:
      if (const auto value = msg::ParseU64(payload)) Send(msg::MakePong(*value, NowMicros()));
      return;
    case MsgType::Pause:
      if (const auto paused = msg::ParseU8(payload)) {
        const bool on = *paused != 0;
        if (feedback_.SetPaused(on)) {
          LogInfo("[{}] video {}", peer_, on ? "paused (device in the background)" : "resumed");
          stream_->SetReadTimeout(on ? timing_.pausedMs : timing_.runningMs);
        }
      }
      return;
    default:
      LogDebug("[{}] ignoring message type {}", peer_, type);
      return;
  }
}

void Session::StopServices() {
  // The stream is shut first: a text-field report may be blocked sending to a device that
  // stopped reading, and the router's Stop waits for that report to finish.
  running_ = false;
  stream_->Shutdown();
  if (input_) input_->Stop();
  if (audio_) audio_->Stop();
  if (transfer_) transfer_->Stop();
  video_.Stop();
  if (input_) input_->Injector().ReleaseAll();
  if (display_) display_->RemoveMonitor();
}

}  // namespace kelm
