#include "core/host_service.h"

#include <mfapi.h>
#include <objbase.h>

#include <algorithm>
#include <format>

#include "core/com_apartment.h"
#include "core/crypto.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "media/crash_recovery.h"

namespace kelm {

HostService::HostService() : HostService(DefaultSessionParts()) {}

HostService::HostService(SessionParts parts, Session::Timing sessionTiming)
    : sessionParts_(std::move(parts)),
      sessionTiming_(sessionTiming),
      connect_(pairing_, kVersion, [this](std::unique_ptr<ByteStream> stream, const std::string& peer) {
        return StartSession(std::move(stream), peer, Session::Link::Relay);
      }) {}

HostService::~HostService() {
  Stop();
  if (driver_.IsOpen()) {
    driver_.RemoveAllMonitors();
    driver_.Close();
  }
  // The power request, Media Foundation and the MTA usage are released by their owners,
  // in this order.
  powerRequest_.Reset();
  mediaFoundation_.Reset();
  mtaUsage_.Reset();
}

void HostService::StatusChanged() {
  if (onStatusChanged_) onStatusChanged_();
}

HostOptions HostService::OptionsCopy() {
  std::lock_guard lock(optionsMutex_);
  return options_;
}

bool HostService::Initialize(std::string& error) {
  if (initialized_) return true;
  // Keeps COM's multithreaded apartment alive between the worker threads that use it; the
  // threads still enter it themselves, so a failure only costs start-up time.
  if (const HRESULT hr = CoIncrementMTAUsage(mtaUsage_.Put()); FAILED(hr)) {
    mtaUsage_.Release();  // no cookie to give back
    LogWarn("Keeping COM's multithreaded apartment alive failed: {}", ErrorText(hr));
  }
  RecoverMutedSpeakers();
  RestoreDisplaysAfterCrash();
  if (FAILED(MFStartup(MF_VERSION, MFSTARTUP_FULL))) {
    error = "Media Foundation is not available on this system (install the Media Feature Pack on N editions)";
    return false;
  }
  mediaFoundation_ = MediaFoundationStartup(true);
  winsock_ = StartWinsock();
  if (!winsock_) {
    error = "Winsock initialization failed";
    return false;
  }
  pairing_.SetChangedCallback([this] {
    connect_.OnPairingChanged();
    StatusChanged();
  });
  connect_.SetStateCallback([this] {
    BroadcastConnectInfo();
    UpdateKeepAwake();
    StatusChanged();
  });
  pairing_.SetPausedCallback([this](const std::string& text) {
    if (onMessage_) onMessage_(text);
  });
  if (!PrepareDataDirs(error)) return false;
  if (!pairing_.Load()) {
    error = "Could not open or create this PC's identity key: " + pairing_.Identity().Error();
    return false;
  }
  initialized_ = true;
  return true;
}

void HostService::HandPolicyLocked() {
  pairing_.SetPolicy({options_.pairingMethod, options_.pin, options_.authenticatorSecret, options_.codeEveryTime});
}

bool HostService::Start(HostOptions options) {
  if (running_) Stop();
  {
    std::lock_guard lock(optionsMutex_);
    options_ = std::move(options);
    lastError_.clear();
    HandPolicyLocked();
  }
  const HostOptions o = OptionsCopy();

  if (!driver_.IsOpen()) {
    if (o.driver && driver_.Open()) {
      const auto info = driver_.QueryInfo();
      if (info && info->interfaceVersion != 1) {
        LogWarn("Driver interface version {} does not match host ({}); reinstall the driver", info->interfaceVersion, 1);
      }
      driver_.RemoveAllMonitors();
      LogInfo("Display driver connected (extend mode available, up to {} monitors)", info ? info->maxMonitors : 4);
    } else if (!driverNoticeShown_) {
      LogWarn("Display driver {} - only mirror mode is available. See scripts\\install-driver.ps1",
              o.driver ? "not installed" : "disabled");
    }
    driverNoticeShown_ = true;
  }

  if (!ListenTcp(listener_, o.port, o.usbOnly)) {
    const std::string text = std::format("Cannot listen on TCP port {} (already in use?)", o.port);
    {
      std::lock_guard lock(optionsMutex_);
      lastError_ = text;
    }
    LogError("{}", text);
    UpdateKeepAwake();
    StatusChanged();
    return false;
  }
  stopping_ = false;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  watchdogThread_ = std::thread([this] { WatchHandshakes(); });

  if (!o.usbOnly && o.discovery && !discovery_.Start(o.port, o.name)) {
    LogWarn("Wi-Fi discovery unavailable (UDP port {} in use)", kDiscoveryPort);
  }
  if (o.useAdb && !usb_.Start(o.adbPath, o.port)) {
    LogWarn("adb.exe not found - USB connections need adb (Android platform-tools). Use --adb PATH.");
  }
  LogInfo("tavro host {} '{}' listening on port {}{}", kVersion, o.name, o.port, o.usbOnly ? " (USB only)" : "");
  if (!o.usbOnly) {
    for (const LocalAddress& a : LocalAddresses()) {
      LogInfo("  Wi-Fi address: {} ({})", a.address, a.adapterName);
    }
  }
  clipboard_.Start([this](proto::ClipboardFormat format, const std::vector<uint8_t>& bytes) {
    BroadcastClipboard(format, bytes);
  });
  if (o.forwardNotifications) {
    notifications_.Start([this](const NotificationForwarder::Item& item) { BroadcastNotification(item); });
  }
  connect_.Configure(o.connectEnabled, o.connectServer);
  {
    std::lock_guard lock(optionsMutex_);
    running_ = true;
  }
  UpdateKeepAwake();
  StatusChanged();
  return true;
}

bool HostService::Restart(HostOptions options) {
  Stop();
  return Start(std::move(options));
}

void HostService::AcceptLoop() {
  while (!stopping_) {
    AcceptedConnection accepted = AcceptConnection(listener_.load());
    if (!accepted.socket.Valid()) {
      if (stopping_) return;
      Sleep(100);
      continue;
    }
    LogInfo("Connection from {}{}", accepted.peer, accepted.loopback ? " (USB)" : "");
    accepted.socket.SetNoDelay(true);
    StartSession(std::make_unique<Socket>(std::move(accepted.socket)), accepted.peer,
                 accepted.loopback ? Session::Link::Usb : Session::Link::Wifi);
  }
}

// Also where ended sessions are joined and destroyed: their teardown (the video
// thread's drain, the capture release) then never holds up the accept thread, and a
// device that comes straight back is served at once.
void HostService::WatchHandshakes() {
  std::unique_lock lock(watchdogMutex_);
  while (!stopping_) {
    reapWanted_ = false;
    rescanWanted_ = false;
    lock.unlock();
    Reap();
    const auto next = ExpireHandshakes();
    lock.lock();
    if (stopping_) break;
    // A new session or a display set-up that began brings a deadline sooner than `next`.
    watchdogWake_.wait_until(lock, next, [this] { return stopping_.load() || reapWanted_ || rescanWanted_; });
  }
}

void HostService::WakeWatchdog(bool reap) {
  {
    std::lock_guard wake(watchdogMutex_);
    if (reap) reapWanted_ = true;
    rescanWanted_ = true;
  }
  watchdogWake_.notify_one();
}

std::chrono::steady_clock::time_point HostService::ExpireHandshakes() {
  const auto now = std::chrono::steady_clock::now();
  auto next = now + std::chrono::milliseconds(sessionTiming_.welcomeDeadlineMs);
  std::lock_guard lock(sessionsMutex_);
  for (SessionEntry& e : sessions_) {
    Session& s = *e.session;
    if (s.InDisplaySetup()) {
      if (s.DisplaySetupDeadline() <= now) {
        LogWarn("[{}] the display set-up took longer than {} ms - closing the connection", s.Peer(),
                sessionTiming_.displaySetupMs);
        s.Stop();
      } else {
        next = std::min(next, s.DisplaySetupDeadline());
      }
      continue;
    }
    if (!s.Pending()) continue;
    if (s.WelcomeDeadline() <= now) {
      LogWarn("[{}] no Welcome within {} ms of connecting - closing the connection", s.Peer(),
              sessionTiming_.welcomeDeadlineMs);
      s.Stop();
    } else {
      next = std::min(next, s.WelcomeDeadline());
    }
  }
  return next;
}

bool HostService::ClaimSlot(uint64_t sessionId) {
  std::unique_lock lock(sessionsMutex_);
  const auto findSelf = [&] {
    return std::find_if(sessions_.begin(), sessions_.end(), [&](const SessionEntry& e) { return e.id == sessionId; });
  };
  // Sessions whose device left keep their capture, encoder and threads until these have
  // stopped; a device that comes straight back each time must not stack up more of them
  // than the slots there are, or the process runs out of display connections and threads.
  // The device waits for its Welcome meanwhile; a stopping host or session ends the wait.
  const auto windingDown = [&] {
    return std::count_if(sessions_.begin(), sessions_.end(), [](const SessionEntry& e) { return e.session->WindingDown(); });
  };
  auto self = findSelf();
  while (self != sessions_.end() && self->session->Running() && !stopping_ &&
         windingDown() >= static_cast<std::ptrdiff_t>(kMaxSessions)) {
    sessionEnded_.wait_for(lock, std::chrono::milliseconds(50));
    self = findSelf();
  }
  if (self == sessions_.end()) return false;
  // Counted and taken in one critical section: of two devices admitted together for the
  // last slot, one gets it. Sessions refused here or stopping hold none.
  size_t held = 0;
  Session* earlier = nullptr;  // this device's own earlier session, still holding a slot
  for (SessionEntry& e : sessions_) {
    if (!e.session->HoldsSlot()) continue;
    ++held;
    if (!self->session->DeviceId().empty() && e.session->DeviceId() == self->session->DeviceId()) {
      earlier = e.session.get();
    }
  }
  if (held >= kMaxSessions) {
    // A device that is back has left its earlier connection, even when that session
    // has not read the goodbye yet: it makes room rather than refusing its own device.
    if (earlier == nullptr) return false;
    LogDebug("[{}] the device reconnected - ending its earlier session", earlier->Peer());
    earlier->Stop();
  }
  self->session->TakeSlot();
  return true;
}

void HostService::Reap() {
  std::list<SessionEntry> ended;
  {
    std::lock_guard lock(sessionsMutex_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->session->Ended()) {
        auto next = std::next(it);
        ended.splice(ended.end(), sessions_, it);
        it = next;
      } else {
        ++it;
      }
    }
  }
  // Joined outside the lock: a session's teardown calls back into the service.
  for (SessionEntry& e : ended) {
    if (e.thread.joinable()) e.thread.join();
  }
}

bool HostService::StartSession(std::unique_ptr<ByteStream> stream, const std::string& peer, Session::Link link) {
  // Ended sessions are reaped by the watchdog; they hold no slot meanwhile.
  const HostOptions o = OptionsCopy();
  std::lock_guard lock(sessionsMutex_);
  // Only connections still in their handshake make room: a device past it (waiting in
  // its Hello or the display set-up) has proved itself and is never evicted.
  size_t admitted = 0;
  std::vector<Session*> inHandshake;
  std::vector<PendingHandshake> pending;
  for (SessionEntry& e : sessions_) {
    Session& s = *e.session;
    if (s.HoldsSlot()) ++admitted;
    if (s.InHandshake()) {
      inHandshake.push_back(&s);
      pending.push_back({s.Peer(), s.GetLink() != Session::Link::Usb});
    }
  }
  // A relay stream finding every slot taken is refused here: tavro Connect says "no room"
  // for it and the relay counts the refusal.
  if (link == Session::Link::Relay && admitted >= kMaxSessions) {
    LogWarn("Rejecting connection from {}: too many sessions", peer);
    return false;  // the stream is destroyed here, which closes the connection
  }
  // Even with every slot taken a TCP or USB connection gets its handshake (the table above bounds
  // how many run): a device that says goodbye and reconnects at once may arrive before
  // its earlier session has read the goodbye, and only once it is known can the claim
  // after the handshake let it take that session's place. Any other device is refused
  // there.
  // USB connections all come from the loopback address through adb, so only the
  // table's own bound applies to them.
  const Eviction eviction = ChooseHandshakeToEvict(pending, {peer, link != Session::Link::Usb});
  if (eviction.reason == EvictionReason::kTableFull) {
    // The oldest of the busiest source has had the longest to finish: it makes room, so
    // a flood of half-open connections can delay a device but never lock it out.
    if (!pendingOverflow_) {
      LogWarn("Too many connections in their handshake - closing the oldest ones");
      pendingOverflow_ = true;
    }
  } else if (eviction.reason == EvictionReason::kSourceFull) {
    LogDebug("Too many handshakes from {} - closing its oldest", peer);
  } else {
    pendingOverflow_ = false;
  }
  if (eviction.reason != EvictionReason::kNone) inHandshake[eviction.index]->Stop();
  SessionEntry& entry = sessions_.emplace_back();
  entry.id = ++nextSessionId_;
  Session::Callbacks callbacks;
  callbacks.onChanged = [this] {
    UpdateKeepAwake();
    StatusChanged();
  };
  callbacks.onMessage = [this](const std::string& text) {
    if (onMessage_) onMessage_(text);
  };
  callbacks.onDeviceClipboard = [this](uint8_t format, std::vector<uint8_t> bytes) {
    clipboard_.SetFromDevice(static_cast<proto::ClipboardFormat>(format), std::move(bytes));
  };
  callbacks.onLaunchApp = [this, id = entry.id](uint32_t notificationId) { LaunchPcApp(id, notificationId); };
  callbacks.getConnectInfo = [this] { return IceConfig(); };
  callbacks.getUpdateNotice = [this] {
    std::lock_guard l(optionsMutex_);
    return updateNotice_;
  };
  callbacks.onTransfer = [this](const std::string& deviceName, const TransferEvent& event) {
    if (onTransfer_) onTransfer_(deviceName.empty() ? "your device" : deviceName, event);
  };
  callbacks.claimSlot = [this, id = entry.id] { return ClaimSlot(id); };
  callbacks.onDisplaySetup = [this] { WakeWatchdog(false); };
  callbacks.onEnded = [this] {
    sessionEnded_.notify_all();
    WakeWatchdog(true);
  };
  entry.session = std::make_shared<Session>(std::move(stream), peer, link, o, driver_, pairing_, std::move(callbacks),
                                            sessionParts_, sessionTiming_);
  Session* s = entry.session.get();
  entry.thread = std::thread([s] { s->Run(); });
  WakeWatchdog(false);
  return true;
}

msg::ConnectInfo HostService::IceConfig() {
  msg::ConnectInfo info;
  {
    std::lock_guard lock(optionsMutex_);
    if (!options_.connectEnabled || options_.connectServer.empty()) {
      return info;
    }
    info.relayOn = true;
    info.relayServer = options_.connectServer;
  }
  std::vector<std::string> servers = connect_.GetStatus().iceServers;
  if (servers.empty()) servers.push_back(connect_.DefaultStun());
  for (size_t i = 0; i < servers.size(); ++i) {
    if (i != 0) info.iceServers += ",";
    info.iceServers += servers[i];
  }
  return info;
}

// Sent outside the sessions mutex: a relay device that stopped reading holds its
// session's send for up to the send time-out, and must not hold up new connections,
// the status or Stop meanwhile.
void HostService::BroadcastConnectInfo() {
  const msg::ConnectInfo info = IceConfig();
  for (const std::shared_ptr<Session>& s : ReadySessions()) s->SendConnectInfo(info);
}

std::vector<std::shared_ptr<Session>> HostService::ReadySessions() {
  std::vector<std::shared_ptr<Session>> ready;
  std::lock_guard lock(sessionsMutex_);
  for (SessionEntry& e : sessions_) {
    if (e.session->Ready() && !e.session->Ended()) ready.push_back(e.session);
  }
  return ready;
}

// Large contents go to each device outside the sessions mutex: a device that stops
// reading must not hold up the status, new connections or Stop (which shuts the
// session's stream and so ends the blocked write).
void HostService::BroadcastClipboard(proto::ClipboardFormat format, const std::vector<uint8_t>& bytes) {
  for (const std::shared_ptr<Session>& s : ReadySessions()) {
    s->SendClipboard(static_cast<uint8_t>(format), bytes);
  }
}

void HostService::BroadcastNotification(const NotificationForwarder::Item& item) {
  for (const std::shared_ptr<Session>& s : ReadySessions()) {
    s->SendNotification(item.id, item.appName, item.title, item.body);
  }
}

// One activation at a time per host: each may run 8 s and takes the focus, so
// requests that arrive meanwhile are dropped.
void HostService::LaunchPcApp(uint64_t sessionId, uint32_t notificationId) {
  const std::wstring appId = notifications_.AppIdFor(notificationId);
  if (appId.empty()) return;
  std::optional<RECT> rect;
  {
    std::lock_guard lock(sessionsMutex_);
    for (SessionEntry& e : sessions_) {
      if (e.id == sessionId) rect = e.session->AppPlacementRect();
    }
  }
  std::lock_guard lock(launcherMutex_);
  if (activating_.exchange(true)) {
    LogDebug("Notification activation dropped: another one is running");
    return;
  }
  // The previous launcher has finished (it cleared the flag as its last step).
  if (launcher_.joinable()) launcher_.join();
  launcher_ = std::thread([this, appId, rect, resolve = notifications_.Resolver()] {
    {
      const ComApartment com = EnterComApartment(COINIT_APARTMENTTHREADED);
      NotificationForwarder::ActivateApp(appId, rect, resolve);
    }
    activating_.store(false);
  });
}

HostService::Status HostService::GetStatus() {
  Reap();
  Status status;
  {
    std::lock_guard lock(optionsMutex_);
    status.running = running_;
    status.lastError = lastError_;
    status.options = options_;
  }
  status.driverConnected = driver_.IsOpen();
  status.usbActive = usb_.Active();
  status.discoveryActive = discovery_.Active();
  status.addresses = LocalAddresses();
  {
    std::lock_guard lock(sessionsMutex_);
    for (SessionEntry& e : sessions_) {
      Session& s = *e.session;
      if (!s.Ready() || s.Ended()) continue;
      SessionStatus st;
      st.id = e.id;
      st.peer = s.Peer();
      st.deviceName = s.DeviceName().empty() ? "Android tablet" : s.DeviceName();
      st.deviceId = s.DeviceId();
      st.usb = s.GetLink() == Session::Link::Usb;
      st.relay = s.GetLink() == Session::Link::Relay;
      st.mirror = s.Mirror();
      st.audio = s.AudioOn();
      st.transferText = s.TransferText();
      st.width = s.StreamWidth();
      st.height = s.StreamHeight();
      st.fps = s.Fps();
      status.sessions.push_back(std::move(st));
    }
  }
  status.connect = connect_.GetStatus();
  return status;
}

bool HostService::Disconnect(uint64_t sessionId) {
  std::lock_guard lock(sessionsMutex_);
  for (SessionEntry& e : sessions_) {
    if (e.id == sessionId) {
      LogInfo("[{}] disconnect requested", e.session->Peer());
      e.session->Stop();
      return true;
    }
  }
  return false;
}

bool HostService::RemovePairedDevice(const std::string& deviceId) {
  if (!pairing_.RemoveDevice(deviceId)) return false;
  LogInfo("Removed paired device {}", deviceId);
  std::lock_guard lock(sessionsMutex_);
  for (SessionEntry& e : sessions_) {
    if (e.session->Admitted() && e.session->DeviceId() == deviceId) e.session->Stop();
  }
  return true;
}

std::string HostService::SendFiles(uint64_t sessionId, const std::vector<std::wstring>& paths) {
  std::string name;
  {
    std::lock_guard lock(sessionsMutex_);
    Session* target = nullptr;
    for (SessionEntry& e : sessions_) {
      Session& s = *e.session;
      if (!s.Ready() || s.Ended()) continue;
      if (sessionId != 0 ? e.id == sessionId : (target == nullptr || s.LastInputTick() > target->LastInputTick())) {
        target = &s;
      }
    }
    // A session that is stopping takes nothing: the caller hears that no device got
    // the files instead of losing them silently.
    if (target == nullptr || !target->SendFiles(paths)) return {};
    name = target->DeviceName().empty() ? "your device" : target->DeviceName();
  }
  UpdateKeepAwake();
  StatusChanged();
  return name;
}

uint32_t HostService::NewPin() { return RandomPin(); }

void HostService::SetPairingPolicy(PairingMethod method, uint32_t pin, SecretBytes secret, bool codeEveryTime) {
  {
    std::lock_guard lock(optionsMutex_);
    options_.pairingMethod = method;
    options_.pin = pin;
    options_.codeEveryTime = codeEveryTime && !secret.empty();
    options_.authenticatorSecret = std::move(secret);  // the old secret is wiped
    HandPolicyLocked();
  }
  UpdateKeepAwake();
  StatusChanged();
}

void HostService::SetPin(uint32_t pin) {
  {
    std::lock_guard lock(optionsMutex_);
    options_.pin = pin;
    HandPolicyLocked();
  }
  UpdateKeepAwake();
  StatusChanged();
}

void HostService::SetBitrate(uint32_t kbps) {
  std::lock_guard lock(optionsMutex_);
  options_.bitrateKbps = kbps;
}

void HostService::SetKeepAwake(bool on) {
  {
    std::lock_guard lock(optionsMutex_);
    options_.keepAwake = on;
  }
  UpdateKeepAwake();
}

void HostService::SetForwardNotifications(bool on) {
  bool running = false;
  {
    std::lock_guard lock(optionsMutex_);
    options_.forwardNotifications = on;
    running = running_;
  }
  if (!on) {
    notifications_.Stop();
  } else if (running) {
    notifications_.Start([this](const NotificationForwarder::Item& item) { BroadcastNotification(item); });
  }
}

void HostService::SetConnect(bool enabled, const std::string& server) {
  bool running = false;
  {
    std::lock_guard lock(optionsMutex_);
    options_.connectEnabled = enabled;
    options_.connectServer = server;
    running = running_;
  }
  if (running) connect_.Configure(enabled, server);
  BroadcastConnectInfo();
  UpdateKeepAwake();
  StatusChanged();
}

void HostService::SetUpdateNotice(const std::string& text) {
  std::lock_guard lock(optionsMutex_);
  updateNotice_ = text;
}

void HostService::UpdateKeepAwake() {
  bool wanted = false;
  {
    std::lock_guard lock(optionsMutex_);
    wanted = options_.keepAwake;
  }
  if (wanted) {
    std::lock_guard lock(sessionsMutex_);
    wanted = std::any_of(sessions_.begin(), sessions_.end(),
                         [](const SessionEntry& e) { return e.session->Ready() && !e.session->Ended(); });
  }
  std::lock_guard lock(powerMutex_);
  if (wanted == awake_) return;
  if (!powerRequest_) {
    static wchar_t reason[] = L"A tablet is connected to tavro";
    REASON_CONTEXT context{};
    context.Version = POWER_REQUEST_CONTEXT_VERSION;
    context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
    context.Reason.SimpleReasonString = reason;
    HANDLE request = PowerCreateRequest(&context);
    if (request == INVALID_HANDLE_VALUE || request == nullptr) return;
    powerRequest_.Reset(request);
  }
  const BOOL ok = wanted ? PowerSetRequest(powerRequest_.Get(), PowerRequestSystemRequired)
                         : PowerClearRequest(powerRequest_.Get(), PowerRequestSystemRequired);
  if (ok) {
    awake_ = wanted;
    LogInfo("{}", wanted ? "Keeping the PC awake while a tablet is connected" : "The PC may sleep again");
  }
}

void HostService::Stop() {
  connect_.Configure(false, "");
  {
    std::lock_guard wake(watchdogMutex_);
    stopping_ = true;
  }
  watchdogWake_.notify_one();
  CloseListenSocket(listener_);
  if (acceptThread_.joinable()) acceptThread_.join();
  if (watchdogThread_.joinable()) watchdogThread_.join();
  std::list<SessionEntry> all;
  {
    std::lock_guard lock(sessionsMutex_);
    all.splice(all.end(), sessions_);
  }
  for (SessionEntry& e : all) e.session->Stop();
  for (SessionEntry& e : all) {
    if (e.thread.joinable()) e.thread.join();
  }
  all.clear();
  {
    // After the sessions: no one launches another app now.
    std::lock_guard lock(launcherMutex_);
    if (launcher_.joinable()) launcher_.join();
  }
  clipboard_.Stop();
  notifications_.Stop();
  usb_.Stop();
  discovery_.Stop();
  bool wasRunning = false;
  {
    std::lock_guard lock(optionsMutex_);
    wasRunning = running_;
    running_ = false;
  }
  if (wasRunning) LogInfo("Host stopped");
  UpdateKeepAwake();
  StatusChanged();
}

void HostService::Shutdown() {
  Stop();
  if (driver_.IsOpen()) {
    driver_.RemoveAllMonitors();
    driver_.Close();
  }
}

}  // namespace kelm
