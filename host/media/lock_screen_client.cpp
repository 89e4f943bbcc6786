// The lock-screen pipe client: trust check, frame reader and input writer.
#include "media/lock_screen_client.h"


#include "core/log.h"
#include "core/text.h"
#include "media/pipe_framing.h"
#include "media/pipe_message.h"
#include "media/session_lock.h"

namespace kelm::lockscreen {
namespace {

bool ServerSessionOf(HANDLE pipe, uint32_t& session) {
  ULONG id = 0;
  if (!GetNamedPipeServerSessionId(pipe, &id)) return false;
  session = id;
  return true;
}

}  // namespace

LockScreenClient::LockScreenClient() : LockScreenClient(Options{}) {}

LockScreenClient::LockScreenClient(Options options)
    : options_(std::move(options)),
      pipeName_(options_.pipeName.empty() ? LockScreenPipeName(OwnSessionId()) : options_.pipeName),
      frameEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      stopEvent_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!options_.trust.ownedByLocalSystem) options_.trust.ownedByLocalSystem = PipeOwnedByLocalSystem;
  if (!options_.trust.serverSession) options_.trust.serverSession = ServerSessionOf;
}

LockScreenClient::~LockScreenClient() { Close(); }

bool LockScreenClient::Trusted(HANDLE pipe) const {
  uint32_t session = 0;
  return options_.trust.ownedByLocalSystem(pipe) && options_.trust.serverSession(pipe, session) &&
         session == OwnSessionId();
}

LockScreenClient::ConnectResult LockScreenClient::Connect() {
  Close();
  if (!frameEvent_ || !stopEvent_) return ConnectResult::NoPipe;
  // Identification only: the agent runs as LocalSystem and must not act as this user.
  WinHandle pipe(CreateFileW(pipeName_.c_str(), GENERIC_READ | GENERIC_WRITE | READ_CONTROL, 0, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                             nullptr));
  if (!pipe) return ConnectResult::NoPipe;  // the service may simply not be there
  if (!Trusted(pipe.Get())) {
    if (!refusalLogged_) {
      refusalLogged_ = true;
      LogWarn("Lock screen: ignoring {} (not created by the tavro service)", WideToUtf8(pipeName_));
    }
    return ConnectResult::Refused;
  }
  {
    std::lock_guard lock(frameMutex_);
    frame_.clear();
    frameNew_ = false;
  }
  const HANDLE handle = pipe.Get();
  {
    std::lock_guard lock(writeMutex_);
    ResetEvent(stopEvent_.Get());
    pipe_ = std::move(pipe);
    connected_ = true;
  }
  reader_ = std::thread([this, handle] { ReadFrames(handle); });
  return ConnectResult::Connected;
}

void LockScreenClient::Close() {
  // The event first: a transfer between two operations sees it before it issues the next,
  // and one in flight is cancelled by its own wait.
  if (stopEvent_) SetEvent(stopEvent_.Get());
  {
    std::lock_guard lock(writeMutex_);
    if (pipe_) CancelIoEx(pipe_.Get(), nullptr);
  }
  if (reader_.joinable()) reader_.join();
  // A write blocked on a peer that stopped reading has ended by now (the stop event), so
  // the mutex is free; under it no writer can be holding the old handle value.
  std::lock_guard lock(writeMutex_);
  pipe_.Reset();
  connected_ = false;
}

void LockScreenClient::ReadFrames(HANDLE pipe) {
  std::vector<uint8_t> body;
  uint8_t type = 0;
  while (ReadPipeMessage(pipe, type, body, kPipeMaxBody, stopEvent_.Get())) {
    if (type != static_cast<uint8_t>(PipeMessageType::LockScreenFrame)) continue;
    const std::optional<LockFrameSize> size = ParseLockFrame(body);
    if (!size) continue;  // malformed frames are dropped; the pipe stays open
    {
      std::lock_guard lock(frameMutex_);
      // The old frame's buffer comes back to be filled by the next read.
      frame_.swap(body);
      frameWidth_ = size->width;
      frameHeight_ = size->height;
      frameNew_ = true;
    }
    SetEvent(frameEvent_.Get());
  }
  connected_ = false;
  SetEvent(frameEvent_.Get());
}

void LockScreenClient::SendInput(uint8_t messageType, const uint8_t* payload, size_t size) {
  if (!connected_) return;
  std::lock_guard lock(writeMutex_);
  // Checked again under the mutex: Close may have ended the connection meanwhile.
  if (!connected_ || !pipe_ || WaitForSingleObject(stopEvent_.Get(), 0) == WAIT_OBJECT_0) return;
  const uint8_t type[1] = {messageType};
  // An agent that stops reading must not hold the session thread: a write that cannot
  // finish in time ends the connection (the message may be cut, so it cannot go on).
  if (!WritePipeMessage(pipe_.Get(), static_cast<uint8_t>(PipeMessageType::Input), type, {payload, size},
                        stopEvent_.Get(), kInputWriteLimitMs)) {
    connected_ = false;
  }
}

bool LockScreenClient::TakeFrame(std::vector<uint8_t>& frame, uint32_t& width, uint32_t& height) {
  std::lock_guard lock(frameMutex_);
  if (!frameNew_) return false;
  frameNew_ = false;
  frame.swap(frame_);
  width = frameWidth_;
  height = frameHeight_;
  return true;
}

}  // namespace kelm::lockscreen
