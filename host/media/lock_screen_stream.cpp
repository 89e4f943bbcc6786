// The lock-screen stream: connection to the lock agent, the lock device and encoder,
// pacing, and the retries while the PC stays locked.
#include "media/lock_screen_stream.h"

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>

#include <algorithm>
#include <vector>

#include "core/clock.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/text.h"
#include "media/capture_rotation.h"
#include "media/com_ptr.h"
#include "media/pipe_message.h"
#include "media/session_lock.h"
#include "media/stream_context.h"
#include "media/video_scale.h"

namespace kelm {
namespace {

using lockscreen::LockScreenClient;

constexpr uint64_t kLockCheckMs = 250;
constexpr uint64_t kConnectRetryMs = 500;
constexpr uint64_t kHelperMissingAfterMs = 5000;
constexpr uint32_t kNotConnectedSleepMs = 100;
constexpr uint32_t kFrameWaitMs = 15;
constexpr uint64_t kRepeatAfterMicros = 200000;
constexpr int32_t kRepeats = 2;
constexpr uint32_t kFirstRetryMs = 1000;
constexpr uint32_t kLastRetryMs = 30000;

// How one attempt at the stream ended (Continue: a step that did not end it).
enum class Outcome { Continue, Unlocked, Stopped, Failed, SendFailed };

class LockScreenStream {
 public:
  LockScreenStream(StreamContext& context, const LockScreenStreamParts& parts, std::stop_token stop)
      : context_(context),
        parts_(parts),
        stop_(std::move(stop)),
        session_(OwnSessionId()),
        client_(std::make_shared<LockScreenClient>(parts.client)) {}

  void Run();

 private:
  bool Running() const { return !stop_.stop_requested(); }
  bool Locked() const { return IsSessionLocked(session_); }
  proto::VideoCodec Codec() const { return context_.hevc ? proto::VideoCodec::Hevc : proto::VideoCodec::H264; }
  const StreamInputHooks& Input() const { return context_.setup.input; }
  void SetSink(std::shared_ptr<LockScreenInputSink> sink) const {
    if (Input().setLockScreenSink) Input().setLockScreenSink(std::move(sink));
  }
  // The first failure of each kind in one lock is an ERROR; repeats while the stream is
  // retried only DEBUG lines, so a lasting fault does not fill the log.
  template <typename... Args>
  void Failure(bool& logged, std::format_string<Args...> fmt, Args&&... args) {
    if (!std::exchange(logged, true)) {
      LogError(fmt, std::forward<Args>(args)...);
    } else {
      LogDebug(fmt, std::forward<Args>(args)...);
    }
  }

  bool CreateDevice();
  Outcome Attempt();
  bool KeepConnected(uint64_t tick);
  bool ShowFrame(uint32_t width, uint32_t height);
  bool OpenEncoder(uint32_t width, uint32_t height);
  bool TryOpen(const EncodedSize& size, uint32_t width, uint32_t height, proto::VideoCodec codec);
  Outcome EncodeStep();
  void DropEncoding();
  void WaitWhileLocked(uint32_t ms);

  StreamContext& context_;
  const LockScreenStreamParts& parts_;
  std::stop_token stop_;
  uint32_t session_;
  std::shared_ptr<LockScreenClient> client_;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> deviceContext_;
  int64_t adapterLuid_ = 0;
  std::unique_ptr<PipelineEncoder> encoder_;
  ComPtr<ID3D11Texture2D> texture_;
  uint32_t textureWidth_ = 0, textureHeight_ = 0;
  std::vector<uint8_t> frame_;  // the agent's frame body, pixels after its size
  std::vector<EncodedFrame> frames_;

  bool shown_ = false;      // connected and handed to the input router
  bool everShown_ = false;  // in this lock
  bool warnedMissing_ = false;
  uint64_t lastConnectTry_ = 0;
  uint64_t lastLockCheck_ = 0;
  uint64_t start_ = 0;
  bool content_ = false, pending_ = false;
  int32_t refresh_ = 0;
  uint64_t lastNew_ = 0, nextDue_ = 0;
  bool loggedDevice_ = false, loggedTexture_ = false, loggedEncoder_ = false, loggedEncode_ = false;
};

bool LockScreenStream::CreateDevice() {
  device_.Reset();
  deviceContext_.Reset();
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                 D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr, 0,
                                 D3D11_SDK_VERSION, &device_, nullptr, &deviceContext_);
  if (FAILED(hr)) {
    hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0,
                           D3D11_SDK_VERSION, &device_, nullptr, &deviceContext_);
  }
  if (FAILED(hr)) {
    device_.Reset();
    deviceContext_.Reset();
    Failure(loggedDevice_, "[{}] lock screen: D3D11CreateDevice failed: {}", context_.setup.label,
            ErrorText(hr));
    return false;
  }
  // The encoder may use this device from Media Foundation's threads.
  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED(device_.As(&multithread))) multithread->SetMultithreadProtected(TRUE);
  adapterLuid_ = 0;
  ComPtr<IDXGIDevice> dxgiDevice;
  ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  if (SUCCEEDED(device_.As(&dxgiDevice)) && SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) &&
      SUCCEEDED(adapter->GetDesc(&desc))) {
    adapterLuid_ = static_cast<int64_t>((uint64_t{static_cast<uint32_t>(desc.AdapterLuid.HighPart)} << 32) |
                                        desc.AdapterLuid.LowPart);
  }
  return true;
}

void LockScreenStream::Run() {
  LogInfo("[{}] the PC is locked", context_.setup.label);
  if (Input().enterLockScreen) Input().enterLockScreen();
  start_ = GetTickCount64();
  lastLockCheck_ = start_;
  uint32_t retryMs = kFirstRetryMs;
  Outcome outcome = Outcome::Stopped;
  while (Running()) {
    outcome = Attempt();
    if (outcome != Outcome::Failed) break;
    // Something on this side failed; the agent may still be showing the lock screen.
    DropEncoding();
    WaitWhileLocked(retryMs);
    retryMs = std::min(retryMs * 2, kLastRetryMs);
    if (!Locked()) break;
  }
  DropEncoding();
  encoder_.reset();
  frame_ = {};
  frames_ = {};
  SetSink({});
  // Closed here, not only when the last reference goes: the session thread may hold one
  // while its write waits on an agent that stopped reading.
  client_->Close();
  client_.reset();
  if (Input().leaveLockScreen) Input().leaveLockScreen();
  if (outcome != Outcome::SendFailed) WaitWhileLocked(INFINITE);
  if (Running()) LogInfo("[{}] the PC was unlocked", context_.setup.label);
  deviceContext_.Reset();
  device_.Reset();
}

void LockScreenStream::WaitWhileLocked(uint32_t ms) {
  const uint64_t until = ms == INFINITE ? UINT64_MAX : GetTickCount64() + ms;
  while (Running() && Locked()) {
    const uint64_t now = GetTickCount64();
    if (now >= until) return;
    Sleep(static_cast<DWORD>(std::min<uint64_t>(kLockCheckMs, until - now)));
  }
}

void LockScreenStream::DropEncoding() {
  if (encoder_) encoder_->Close();
  texture_.Reset();
  textureWidth_ = textureHeight_ = 0;
  content_ = pending_ = false;
  refresh_ = 0;
}

Outcome LockScreenStream::Attempt() {
  if (!device_ && !CreateDevice()) return Outcome::Failed;
  if (!encoder_) encoder_ = parts_.makeEncoder ? parts_.makeEncoder() : MakeMediaFoundationEncoder();
  while (Running()) {
    const uint64_t tick = GetTickCount64();
    if (tick - lastLockCheck_ >= kLockCheckMs) {
      lastLockCheck_ = tick;
      if (!Locked()) return Outcome::Unlocked;
    }
    if (!client_->Connected()) {
      if (shown_) {
        shown_ = false;
        SetSink({});
        if (!Locked()) return Outcome::Unlocked;
        LogWarn("[{}] lock screen helper disconnected", context_.setup.label);
      }
      if (!KeepConnected(tick)) {
        Sleep(kNotConnectedSleepMs);
        continue;
      }
    }
    context_.ApplyRate(*encoder_);
    uint32_t width = 0, height = 0;
    if (client_->TakeFrame(frame_, width, height) && !ShowFrame(width, height)) return Outcome::Failed;
    const Outcome step = EncodeStep();
    if (step != Outcome::Continue) return step;
    WaitForSingleObject(client_->FrameEvent(), kFrameWaitMs);
  }
  return Outcome::Stopped;
}

bool LockScreenStream::KeepConnected(uint64_t tick) {
  if (lastConnectTry_ != 0 && tick - lastConnectTry_ < kConnectRetryMs) return false;
  lastConnectTry_ = tick;
  if (client_->Connect() == LockScreenClient::ConnectResult::Connected) {
    shown_ = everShown_ = true;
    SetSink(client_);
    LogInfo("[{}] showing the lock screen", context_.setup.label);
    // A new connection starts a new stream: the next frame opens the encoder and tells
    // the device its format again.
    DropEncoding();
    return true;
  }
  if (!everShown_ && !warnedMissing_ && tick - start_ > kHelperMissingAfterMs) {
    warnedMissing_ = true;
    LogWarn("[{}] can't show the lock screen: the tavro Lock Screen Helper service isn't running", context_.setup.label);
  }
  return false;
}

bool LockScreenStream::ShowFrame(uint32_t width, uint32_t height) {
  if (!texture_ || width != textureWidth_ || height != textureHeight_) {
    texture_.Reset();
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    const HRESULT hr = device_->CreateTexture2D(&desc, nullptr, &texture_);
    if (FAILED(hr)) {
      texture_.Reset();
      Failure(loggedTexture_, "[{}] lock screen: texture failed: {}", context_.setup.label,
              ErrorText(hr));
      return false;
    }
    textureWidth_ = width;
    textureHeight_ = height;
    if (!OpenEncoder(width, height)) return false;
  }
  deviceContext_->UpdateSubresource(texture_.Get(), 0, nullptr, frame_.data() + kLockFrameHeaderSize, width * 4, 0);
  content_ = pending_ = true;
  lastNew_ = NowMicros();
  return true;
}

bool LockScreenStream::TryOpen(const EncodedSize& size, uint32_t width, uint32_t height, proto::VideoCodec codec) {
  VideoEncoder::Config config;
  config.width = size.width;
  config.height = size.height;
  config.fps = context_.fps;
  config.bitrateKbps = context_.bitrateKbps;
  config.codec = codec;
  return encoder_->Open(device_.Get(), adapterLuid_, width, height, DisplayRotation::Identity, config);
}

bool LockScreenStream::OpenEncoder(uint32_t width, uint32_t height) {
  const EncodedSize size =
      ComputeLockScreenSize(width, height, static_cast<uint32_t>(std::max(context_.FrameWidth(), 0)),
                            static_cast<uint32_t>(std::max(context_.FrameHeight(), 0)), context_.setup.remote);
  encoder_->Close();
  bool opened = TryOpen(size, width, height, Codec());
  if (!opened && context_.hevc) {
    LogWarn("[{}] HEVC encoder unavailable, using H.264", context_.setup.label);
    context_.hevc = false;
    opened = TryOpen(size, width, height, proto::VideoCodec::H264);
  }
  if (!opened) {
    Failure(loggedEncoder_, "[{}] lock screen: encoder failed", context_.setup.label);
    return false;
  }
  context_.packetizer.Reset();
  context_.setup.feedback->keyFrameRequested.store(true);
  if (context_.setup.send) {
    context_.setup.send(msg::MakeVideoFormat(static_cast<uint16_t>(size.width), static_cast<uint16_t>(size.height),
                                       Codec(), static_cast<uint16_t>(width),
                                       static_cast<uint16_t>(height)));
    context_.setup.send(msg::MakeCursorPosition(false, 0, 0));
  }
  LogInfo("[{}] streaming the lock screen {}x{} (source {}x{})", context_.setup.label, size.width, size.height, width,
          height);
  return true;
}

Outcome LockScreenStream::EncodeStep() {
  if (!content_) return Outcome::Continue;
  StreamFeedback& feedback = *context_.setup.feedback;
  const uint64_t now = NowMicros();
  const bool repeat = !pending_ && refresh_ >= 1 && now - lastNew_ > kRepeatAfterMicros;
  if (!pending_ && !repeat && !feedback.keyFrameRequested.load()) return Outcome::Continue;
  if (!feedback.CanSendFrame(context_.fps) || now < nextDue_ || feedback.Paused()) return Outcome::Continue;
  // Taken in one exchange at the moment of encoding: a request arriving between the look
  // above and here is kept for this frame instead of being cleared unseen.
  const bool key = feedback.keyFrameRequested.exchange(false);
  if (!pending_ && !repeat && !key) return Outcome::Continue;
  frames_.clear();
  if (!encoder_->Encode(texture_.Get(), static_cast<int64_t>(now), key, frames_)) {
    if (key) feedback.keyFrameRequested.store(true);  // the frame never left
    Failure(loggedEncode_, "[{}] lock screen: encoding failed", context_.setup.label);
    return Outcome::Failed;
  }
  for (const EncodedFrame& frame : frames_) {
    if (!context_.SendFrame(frame, *encoder_)) {
      if (context_.setup.onPipelineFailed) context_.setup.onPipelineFailed();
      return Outcome::SendFailed;
    }
  }
  if (pending_) {
    refresh_ = kRepeats;
  } else if (repeat) {
    --refresh_;
  }
  pending_ = false;
  nextDue_ = now + 1000000 / std::max<uint32_t>(context_.fps, 1);
  return Outcome::Continue;
}

}  // namespace

void StreamLockScreen(StreamContext& context, std::stop_token stop) {
  StreamLockScreen(context, LockScreenStreamParts{}, std::move(stop));
}

void StreamLockScreen(StreamContext& context, const LockScreenStreamParts& parts, std::stop_token stop) {
  LockScreenStream(context, parts, std::move(stop)).Run();
}

PipelineLockScreen LockScreenHooks(StreamContext& context, LockScreenStreamParts parts) {
  PipelineLockScreen hooks;
  hooks.locked = [] { return IsSessionLocked(OwnSessionId()); };
  hooks.stream = [&context, parts = std::move(parts)](std::stop_token stop) {
    StreamLockScreen(context, parts, std::move(stop));
  };
  return hooks;
}

}  // namespace kelm
