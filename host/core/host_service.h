#pragma once
// The host's core object: listeners, discovery, USB link, paired devices and the
// sessions (at most eight, one thread each).
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <mfapi.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "connect/connect_client.h"
#include "core/discovery.h"
#include "core/handshake_eviction.h"
#include "core/host_options.h"
#include "core/host_status.h"
#include "core/local_addresses.h"
#include "core/socket.h"
#include "core/pairing.h"
#include "core/session.h"
#include "core/unique_any.h"
#include "core/usb_watcher.h"
#include "core/win_handle.h"
#include "desktop/clipboard_sync.h"
#include "desktop/file_transfer.h"
#include "desktop/notification_forwarder.h"
#include "media/virtual_display_driver.h"

namespace kelm {

class HostService {
 public:
  static constexpr size_t kMaxSessions = 8;
  // Connections still in their secure handshake, counted apart from the admitted
  // sessions so that unauthenticated peers cannot take a device's place.
  static constexpr size_t kMaxPending = kMaxPendingHandshakes;
  static constexpr char kVersion[] = "1.0.0";

  using SessionStatus = HostSessionStatus;
  using Status = HostStatus;

  HostService();
  // Tests choose which session parts are real, and the sessions' timing.
  explicit HostService(SessionParts parts, Session::Timing sessionTiming = {});
  ~HostService();
  HostService(const HostService&) = delete;
  HostService& operator=(const HostService&) = delete;

  void SetOnStatusChanged(std::function<void()> callback) { onStatusChanged_ = std::move(callback); }
  void SetOnMessage(std::function<void(const std::string&)> callback) { onMessage_ = std::move(callback); }
  void SetOnTransfer(std::function<void(const std::string&, const TransferEvent&)> callback) {
    onTransfer_ = std::move(callback);
  }

  bool Initialize(std::string& error);
  bool Start(HostOptions options);
  bool Restart(HostOptions options);
  void Stop();
  void Shutdown();

  bool StartSession(std::unique_ptr<ByteStream> stream, const std::string& peer, Session::Link link);
  Status GetStatus();
  bool Disconnect(uint64_t sessionId);
  bool RemovePairedDevice(const std::string& deviceId);
  std::string SendFiles(uint64_t sessionId, const std::vector<std::wstring>& paths);

  static uint32_t NewPin();
  void NotePcWindowOpen() { pairing_.NotePcWindowOpen(); }
  void SetPinAlwaysValid(bool always) { pairing_.SetPinAlwaysValid(always); }

  void SetPairingPolicy(PairingMethod method, uint32_t pin, SecretBytes secret, bool codeEveryTime);
  void SetPin(uint32_t pin);
  void SetBitrate(uint32_t kbps);
  void SetKeepAwake(bool on);
  void SetForwardNotifications(bool on);
  void SetConnect(bool enabled, const std::string& server);
  void SetUpdateNotice(const std::string& text);

  Pairing& PairingStore() { return pairing_; }
  // Tests only, before Start: the relay client's timing, addresses and ICE set-up.
  void SetConnectOptions(ConnectClient::Options settings) { connect_.SetOptions(std::move(settings)); }
  NotificationForwarder& Notifications() { return notifications_; }

 private:
  struct SessionEntry {
    uint64_t id = 0;
    // Shared so that a broadcast can send outside the sessions mutex.
    std::shared_ptr<Session> session;
    std::thread thread;
  };

  void AcceptLoop();
  void WatchHandshakes();
  // Wakes the watchdog; with `reap`, to join and destroy the sessions that ended.
  void WakeWatchdog(bool reap);
  // Stops sessions past their Welcome deadline; the earliest deadline still ahead.
  std::chrono::steady_clock::time_point ExpireHandshakes();
  bool ClaimSlot(uint64_t sessionId);
  void Reap();
  void UpdateKeepAwake();
  void StatusChanged();
  void HandPolicyLocked();
  msg::ConnectInfo IceConfig();
  void BroadcastConnectInfo();
  void BroadcastClipboard(proto::ClipboardFormat format, const std::vector<uint8_t>& bytes);
  std::vector<std::shared_ptr<Session>> ReadySessions();
  void BroadcastNotification(const NotificationForwarder::Item& item);
  HostOptions OptionsCopy();
  void LaunchPcApp(uint64_t sessionId, uint32_t notificationId);

  using MtaUsage = UniqueAny<CO_MTA_USAGE_COOKIE, &CoDecrementMTAUsage>;
  using MediaFoundationStartup = UniqueCall<&MFShutdown>;

  std::mutex powerMutex_;
  WinHandle powerRequest_;  // made on first need
  bool awake_ = false;
  bool initialized_ = false;
  MediaFoundationStartup mediaFoundation_;
  MtaUsage mtaUsage_;
  WinsockStartup winsock_;
  std::function<void()> onStatusChanged_;
  std::function<void(const std::string&)> onMessage_;
  std::function<void(const std::string&, const TransferEvent&)> onTransfer_;
  Pairing pairing_;
  ClipboardSync clipboard_;
  NotificationForwarder notifications_;
  std::mutex optionsMutex_;
  std::string updateNotice_;
  HostOptions options_;
  bool running_ = false;
  std::string lastError_;
  bool driverNoticeShown_ = false;
  VirtualDisplayDriver driver_;
  SocketSlot listener_{INVALID_SOCKET};
  std::thread acceptThread_;
  std::atomic<bool> stopping_{false};
  std::thread watchdogThread_;
  std::mutex watchdogMutex_;
  std::condition_variable watchdogWake_;
  bool reapWanted_ = false;        // under watchdogMutex_
  bool rescanWanted_ = false;      // under watchdogMutex_: deadlines to look at again
  bool pendingOverflow_ = false;  // under sessionsMutex_: this burst was already logged
  DiscoveryResponder discovery_;
  UsbWatcher usb_;
  SessionParts sessionParts_;
  Session::Timing sessionTiming_;
  std::mutex sessionsMutex_;
  std::condition_variable sessionEnded_;  // with sessionsMutex_: a session's Run is over
  std::list<SessionEntry> sessions_;
  uint64_t nextSessionId_ = 0;
  // Destroyed before the sessions and the pairing store it hands streams to and reads.
  ConnectClient connect_;
  // Set while an app activation runs; shared with the detached launcher thread.
  // The one app launcher thread of a notification activation at a time, joined by Stop.
  std::mutex launcherMutex_;
  std::thread launcher_;
  std::atomic<bool> activating_{false};
};

}  // namespace kelm
