#pragma once
// One connected device: handshake, Hello and Welcome, its services and the read loop.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

#include "core/byte_stream.h"
#include "core/host_options.h"
#include "core/messages.h"
#include "core/pairing.h"
#include "core/secure_channel.h"
#include "core/session_parts.h"
#include "media/stream_feedback.h"

namespace kelm {

// A session's read time-outs; replaceable so tests of silence take milliseconds.
struct SessionTiming {
  uint32_t handshakeMs = 10000;  // each read of the handshake and the Hello
  uint32_t runningMs = 6000;     // once the services run
  uint32_t pausedMs = 30000;     // while the device has paused the video
  // From accept to the Welcome, however slowly the peer sends; enforced by the owner
  // (see WelcomeDeadline), since a trickling peer satisfies every single read.
  uint32_t welcomeDeadlineMs = 10000;
  // The display set-up (an extend-mode monitor can take seconds to appear) has its own
  // limit: the Welcome deadline stops when it begins.
  uint32_t displaySetupMs = 30000;
};

class Session {
 public:
  enum class Link : uint32_t { Usb = 0, Wifi = 1, Relay = 2 };

  using Timing = SessionTiming;

  // How the session reaches its owner; each may be empty.
  struct Callbacks {
    std::function<void()> onChanged;  // ended or changed
    std::function<void(const std::string& deviceName, const TransferEvent&)> onTransfer;
    std::function<void(uint8_t format, std::vector<uint8_t> bytes)> onDeviceClipboard;
    std::function<void(uint32_t notificationId)> onLaunchApp;
    std::function<void(const std::string&)> onMessage;
    std::function<msg::ConnectInfo()> getConnectInfo;
    std::function<std::string()> getUpdateNotice;
    // Asked once the device is admitted: false when the admitted sessions are already
    // at their limit, and the session ends.
    std::function<bool()> claimSlot;
    // The display set-up begins: its own limit now applies (the owner enforces it).
    std::function<void()> onDisplaySetup;
    // The teardown is over and the thread is about to return: the owner may join it.
    std::function<void()> onEnded;
  };

  Session(std::unique_ptr<ByteStream> stream, std::string peer, Link link, HostOptions options,
          VirtualDisplayDriver& driver, Pairing& pairing, Callbacks callbacks, SessionParts parts,
          Timing timing = {});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void Run();
  void Stop();

  bool Send(const msg::Message& message);
  bool SendBytes(uint8_t type, std::span<const uint8_t> bytes);
  bool SendClipboard(uint8_t format, std::span<const uint8_t> bytes);
  bool SendNotification(uint32_t id, const std::string& app, const std::string& title, const std::string& text);
  bool SendConnectInfo(const msg::ConnectInfo& info);
  bool SendWelcome(proto::WelcomeStatus status, const std::string& text);
  bool SendFiles(const std::vector<std::wstring>& paths);

  // Read by the host service under its sessions lock.
  const std::string& Peer() const { return peer_; }
  std::string DeviceName() const { return deviceName_; }
  const std::string& DeviceId() const { return handshake_.deviceId; }
  Link GetLink() const { return link_; }
  bool Mirror() const { return hello_.displayMode == 1; }
  bool AudioOn() const;
  uint32_t StreamWidth() const { return streamWidth_.load(); }
  uint32_t StreamHeight() const { return streamHeight_.load(); }
  uint32_t Fps() const { return fps_; }
  uint32_t Kbps() const { return kbps_; }
  uint32_t Version() const { return version_; }
  std::string TransferText() const;
  bool Ready() const { return ready_.load(); }
  bool Ended() const { return ended_.load(); }
  bool Admitted() const { return admitted_.load(); }
  // Still in the handshake or the Hello, and not stopped: the Welcome deadline applies.
  bool Pending() const { return running_.load() && stage_.load() == Stage::kHandshake && !ended_.load(); }
  // Still in the secure handshake (not yet admitted), and not stopped.
  bool InHandshake() const { return running_.load() && !admitted_.load() && !ended_.load(); }
  // Setting up its display, and not stopped: the display set-up limit applies.
  bool InDisplaySetup() const { return running_.load() && stage_.load() == Stage::kDisplay && !ended_.load(); }
  std::chrono::steady_clock::time_point WelcomeDeadline() const { return welcomeDeadline_; }
  std::chrono::steady_clock::time_point DisplaySetupDeadline() const { return displayDeadline_.load(); }
  // Holds one of the host's session slots and still serves the device. Taken through
  // Callbacks::claimSlot, under the owner's lock; a session whose device said Bye or
  // whose connection ended gives it up at once, while its services stop, so the device
  // can come straight back.
  bool HoldsSlot() const { return holdsSlot_.load() && running_.load() && !leaving_.load() && !ended_.load(); }
  void TakeSlot() { holdsSlot_ = true; }
  // Took a slot, so may have started its services, and is stopping them now.
  bool WindingDown() const {
    return holdsSlot_.load() && (leaving_.load() || !running_.load()) && !ended_.load();
  }
  bool Running() const { return running_.load(); }
  bool Remote() const { return remote_; }
  uint64_t LastInputTick() const;
  // In extend mode, where the device's input lands (apps opened from it go there).
  std::optional<RECT> AppPlacementRect() const;

 private:
  bool ReceiveHello();
  void ApplyStreamWishes();
  bool SetUpDisplayAndWelcome();
  void StartServices();
  void StartInput(const SendMessageFn& send);
  void OnMessage(uint8_t type, const std::vector<uint8_t>& payload);
  void StopServices();
  void Changed();
  bool SendIfRunning(const msg::Message& message);
  bool WritePendingLocked();
  bool WriteFailedLocked();
  // Read loop only: while on, its own sends wait in pendingWrites_; off writes them.
  void HoldWrites(bool hold);
  void CreateTransfer();

  std::unique_ptr<ByteStream> stream_;
  SecureChannel channel_;
  std::mutex sendMutex_;
  // Sealed records not yet written (under sendMutex_); kept allocated up to a size.
  static constexpr size_t kKeptWriteBuffer = 256 * 1024;
  std::vector<uint8_t> pendingWrites_;
  bool holdWrites_ = false;  // read and written on the read loop's thread only
  std::thread::id readerThread_;  // set before any other thread can send
  Pairing& pairing_;
  HandshakeResult handshake_;
  std::string peer_;
  Callbacks callbacks_;
  SessionParts parts_;
  Timing timing_;
  Link link_;
  HostOptions options_;
  VirtualDisplayDriver& driver_;
  msg::Hello hello_{};
  std::string deviceName_;
  uint32_t version_ = 3;
  uint32_t fps_ = 60;
  uint32_t kbps_ = 0;
  bool useHevc_ = false;
  bool remote_ = false;
  std::chrono::steady_clock::time_point welcomeDeadline_;
  std::atomic<bool> running_{true};
  std::atomic<bool> ended_{false};
  std::atomic<bool> ready_{false};
  std::atomic<bool> admitted_{false};  // set once the handshake result is complete
  std::atomic<bool> leaving_{false};   // the record loop is over
  std::atomic<bool> holdsSlot_{false};
  enum class Stage : uint8_t { kHandshake, kDisplay, kWelcomed };
  std::atomic<Stage> stage_{Stage::kHandshake};
  std::atomic<std::chrono::steady_clock::time_point> displayDeadline_{};
  std::atomic<uint32_t> streamWidth_{0};
  std::atomic<uint32_t> streamHeight_{0};
  std::atomic<uint8_t> featureFlags_{0};
  // Device clipboards taken in the current second (session thread only).
  std::chrono::steady_clock::time_point clipboardSecond_;
  uint32_t clipboardsThisSecond_ = 0;
  std::unique_ptr<SessionDisplay> display_;
  std::unique_ptr<InputRouter> input_;
  StreamFeedback feedback_;
  std::unique_ptr<AudioStream> audio_;
  std::unique_ptr<StreamContext> context_;
  mutable std::mutex transferMutex_;  // guards replacing transfer_ against readers on other threads
  std::unique_ptr<FileTransfer> transfer_;
  VideoThread video_;
  std::mutex connectInfoMutex_;
  std::optional<msg::ConnectInfo> lastConnectInfo_;
};

}  // namespace kelm
