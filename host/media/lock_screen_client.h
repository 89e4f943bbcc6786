#pragma once
// The host's end of the lock agent's pipe: connects only to a pipe the tavro service made
// in this session, reads the lock-screen frames on a thread of its own and writes the
// device's input to the agent.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/win_handle.h"
#include "core/lock_screen_input_sink.h"

namespace kelm::lockscreen {

class LockScreenClient final : public LockScreenInputSink {
 public:
  // How a connected pipe is checked; empty members take the real queries.
  struct Trust {
    std::function<bool(HANDLE pipe)> ownedByLocalSystem;
    std::function<bool(HANDLE pipe, uint32_t& session)> serverSession;
  };
  struct Options {
    std::wstring pipeName;  // empty: LockScreenPipeName(OwnSessionId())
    Trust trust;
  };

  enum class ConnectResult { Connected, NoPipe, Refused };

  // The longest one input message may wait on the agent.
  static constexpr uint32_t kInputWriteLimitMs = 500;

  LockScreenClient();
  explicit LockScreenClient(Options options);
  ~LockScreenClient() override;
  LockScreenClient(const LockScreenClient&) = delete;
  LockScreenClient& operator=(const LockScreenClient&) = delete;

  // Closes what is open, then opens and checks the pipe. A refused pipe is logged with a
  // WARN the first time only: a client lives for one lock, and the stream retries often.
  ConnectResult Connect();
  // Ends the reader and any write in flight at once, even against a silent peer.
  void Close();
  bool Connected() const { return connected_.load(); }

  // One device input message as a type 2 pipe message; dropped while not connected.
  void SendInput(uint8_t messageType, const uint8_t* payload, size_t size) override;

  // The newest frame not yet taken: its whole body (the pixels, B8G8R8A8 top-down, start
  // kLockFrameHeaderSize bytes in) and size. The buffer is swapped, not copied: what
  // `frame` held comes back to the reader to be filled again.
  bool TakeFrame(std::vector<uint8_t>& frame, uint32_t& width, uint32_t& height);
  // Set when a frame arrives or the reader ends (auto-reset).
  HANDLE FrameEvent() const { return frameEvent_.Get(); }

  const std::wstring& PipeName() const { return pipeName_; }

 private:
  bool Trusted(HANDLE pipe) const;
  void ReadFrames(HANDLE pipe);

  Options options_;
  std::wstring pipeName_;
  WinHandle pipe_;        // swapped and closed only under writeMutex_
  WinHandle frameEvent_;  // auto-reset
  WinHandle stopEvent_;   // manual-reset: set by Close, cleared by the next Connect
  std::thread reader_;
  std::atomic<bool> connected_{false};
  bool refusalLogged_ = false;
  std::mutex writeMutex_;
  std::mutex frameMutex_;
  std::vector<uint8_t> frame_;  // the body with its 8-byte size in front
  uint32_t frameWidth_ = 0;
  uint32_t frameHeight_ = 0;
  bool frameNew_ = false;
};

}  // namespace kelm::lockscreen
