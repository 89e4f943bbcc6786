// WASAPI loopback capture: per-process loopback excluding this process tree, else the
// default output device's loopback with sample conversion.
#include <audioclient.h>
#include <mmdeviceapi.h>
#include <objbase.h>
#include <propidl.h>
#include <wrl/client.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/com_apartment.h"
#include "core/log.h"
#include "core/text.h"
#include "media/audio_capture.h"
#include "media/audio_convert.h"

namespace kelm {
namespace {

using Microsoft::WRL::ComPtr;

// Declared by hand: the activation parameters of per-process loopback are missing from
// the cross toolchain's headers. Layout as documented: three 32-bit fields, 12 bytes.
constexpr DWORD kActivationTypeProcessLoopback = 1;
constexpr DWORD kLoopbackModeExcludeTargetTree = 1;
struct ProcessLoopbackActivationParams {
  DWORD activationType;
  DWORD targetProcessId;
  DWORD processLoopbackMode;
};
static_assert(sizeof(ProcessLoopbackActivationParams) == 12);

using ActivateAudioInterfaceAsyncFn = HRESULT(WINAPI*)(LPCWSTR, REFIID, PROPVARIANT*,
                                                       IActivateAudioInterfaceCompletionHandler*,
                                                       IActivateAudioInterfaceAsyncOperation**);

constexpr wchar_t kProcessLoopbackPath[] = L"VAD\\Process_Loopback";
constexpr uint32_t kCaptureRate = 48000;
constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
constexpr DWORD kStepMs = 100;
constexpr int kProcessRetrySteps = 10;   // 1 s between re-opens
constexpr int kEndpointRetrySteps = 20;  // 2 s between attempts
constexpr DWORD kEndpointPollMs = 5;
constexpr ULONGLONG kDefaultDeviceCheckMs = 1000;

// Resolved at run time: older systems lack it, and a missing export must not stop the
// program from loading.
ActivateAudioInterfaceAsyncFn ResolveActivate() {
  static const ActivateAudioInterfaceAsyncFn fn = [] {
    HMODULE module = LoadLibraryExW(L"mmdevapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? reinterpret_cast<ActivateAudioInterfaceAsyncFn>(
                        reinterpret_cast<void*>(GetProcAddress(module, "ActivateAudioInterfaceAsync")))
                  : nullptr;
  }();
  return fn;
}

// Completion handler of the asynchronous activation; agile, since the system calls it
// on a thread of its own.
class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
 public:
  ActivationHandler() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~ActivationHandler() {
    if (done_) CloseHandle(done_);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IActivateAudioInterfaceCompletionHandler)) {
      *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (riid == __uuidof(IAgileObject)) {
      *out = static_cast<IAgileObject*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;  // COM lifetime: the last reference frees the object
    return left;
  }

  HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override {
    HRESULT activateResult = E_FAIL;
    ComPtr<IUnknown> unknown;
    HRESULT hr = operation ? operation->GetActivateResult(&activateResult, &unknown) : E_POINTER;
    if (SUCCEEDED(hr) && SUCCEEDED(activateResult) && unknown) {
      ComPtr<IAudioClient> client;
      hr = unknown.As(&client);
      if (SUCCEEDED(hr)) client_ = client;
    } else if (SUCCEEDED(hr)) {
      hr = FAILED(activateResult) ? activateResult : E_FAIL;
    }
    result_ = hr;
    SetEvent(done_);
    return S_OK;
  }

  HANDLE Done() const { return done_; }
  HRESULT Result() const { return result_; }
  ComPtr<IAudioClient> Client() const { return client_; }

 private:
  std::atomic<ULONG> refs_{1};
  HANDLE done_;
  std::atomic<HRESULT> result_{E_FAIL};
  ComPtr<IAudioClient> client_;
};

// Waits in short steps so a stop is noticed; false when stopped first.
bool WaitSteps(const AudioCapture::State& state, int steps) {
  for (int i = 0; i < steps && !state.stop; ++i) Sleep(kStepMs);
  return !state.stop;
}

class WasapiLoopbackSource final : public AudioSource {
 public:
  void Capture(const std::shared_ptr<AudioCapture::State>& state) override {
    if (CaptureProcessLoopback(state)) return;
    CaptureEndpointLoopback(state);
  }

 private:
  // True when handled (stopped); false when per-process capture is not available.
  bool CaptureProcessLoopback(const std::shared_ptr<AudioCapture::State>& state) {
    bool ran = false, announced = false;
    while (!state->stop) {
      WinHandle bufferEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr));
      OpenWatchdog watchdog(state);
      ComPtr<IAudioClient> client;
      ComPtr<IAudioCaptureClient> capture;
      HRESULT hr = bufferEvent ? S_OK : HRESULT_FROM_WIN32(GetLastError());
      if (SUCCEEDED(hr)) {
        bool stopped = false;
        hr = Activate(*state, client, stopped);
        if (stopped) return true;
      }
      if (SUCCEEDED(hr)) {
        WAVEFORMATEX format{};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = 2;
        format.nSamplesPerSec = kCaptureRate;
        format.wBitsPerSample = 16;
        format.nBlockAlign = 4;
        format.nAvgBytesPerSec = kCaptureRate * 4;
        hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK, kBufferDuration, 0,
                                &format, nullptr);
        watchdog.Opened();
      }
      if (SUCCEEDED(hr)) hr = client->SetEventHandle(bufferEvent.Get());
      if (SUCCEEDED(hr)) hr = client->GetService(IID_PPV_ARGS(&capture));
      if (SUCCEEDED(hr)) hr = client->Start();
      watchdog.Opened();  // every give-up path stands the watchdog down too
      if (FAILED(hr)) {
        if (!ran) {
          LogInfo("Audio: per-app capture unavailable ({}); capturing the output device instead", ErrorText(hr));
          return false;
        }
        LogDebug("Audio: reopening the capture stream failed ({})", ErrorText(hr));
        WaitSteps(*state, kProcessRetrySteps);
        continue;
      }
      if (!announced) {
        LogInfo("Audio: capturing {} Hz stereo from all apps", kCaptureRate);
        announced = true;
      }
      Pump(*state, client.Get(), capture.Get(), bufferEvent.Get());
      client->Stop();
      ran = true;
    }
    return true;
  }

  HRESULT Activate(const AudioCapture::State& state, ComPtr<IAudioClient>& client, bool& stopped) {
    const ActivateAudioInterfaceAsyncFn activate = ResolveActivate();
    if (!activate) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    ProcessLoopbackActivationParams params{kActivationTypeProcessLoopback, GetCurrentProcessId(),
                                           kLoopbackModeExcludeTargetTree};
    PROPVARIANT variant{};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof params;
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
    ComPtr<ActivationHandler> handler;
    handler.Attach(new ActivationHandler());
    if (!handler->Done()) return HRESULT_FROM_WIN32(GetLastError());
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    HRESULT hr = activate(kProcessLoopbackPath, __uuidof(IAudioClient), &variant, handler.Get(), &operation);
    if (FAILED(hr)) return hr;
    while (WaitForSingleObject(handler->Done(), kStepMs) == WAIT_TIMEOUT) {
      if (state.stop) {
        stopped = true;
        return E_ABORT;
      }
    }
    hr = handler->Result();
    if (SUCCEEDED(hr)) client = handler->Client();
    return SUCCEEDED(hr) && !client ? E_FAIL : hr;
  }

  // Event-driven drain of 48 kHz stereo packets until stop or a failing call.
  void Pump(AudioCapture::State& state, IAudioClient*, IAudioCaptureClient* capture, HANDLE bufferEvent) {
    while (!state.stop) {
      UpdateSpeakerMute(state, true);
      WaitForSingleObject(bufferEvent, kStepMs);
      UINT32 packet = 0;
      if (FAILED(capture->GetNextPacketSize(&packet))) return;
      while (packet > 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        if (FAILED(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) return;
        if (frames > 0) {
          if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
            zeros_.assign(size_t{frames} * 2, 0);
            state.Deliver(zeros_.data(), frames, kCaptureRate);
          } else {
            state.Deliver(reinterpret_cast<const int16_t*>(data), frames, kCaptureRate);
          }
        }
        if (FAILED(capture->ReleaseBuffer(frames)) || FAILED(capture->GetNextPacketSize(&packet))) return;
      }
    }
  }

  static bool DefaultOutputId(IMMDeviceEnumerator* enumerator, std::wstring& id) {
    ComPtr<IMMDevice> device;
    CoTaskMem<wchar_t> raw;
    if (FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) || FAILED(device->GetId(raw.Put()))) {
      return false;
    }
    id = raw.Get();
    return true;
  }

  void CaptureEndpointLoopback(const std::shared_ptr<AudioCapture::State>& state) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
    if (FAILED(hr)) {
      LogWarn("Audio: no device enumerator ({})", ErrorText(hr));
      return;
    }
    bool warnedMute = false;
    while (!state->stop) {
      std::wstring deviceId;
      ComPtr<IMMDevice> device;
      ComPtr<IAudioClient> client;
      ComPtr<IAudioCaptureClient> capture;
      CoTaskMem<WAVEFORMATEX> mix;
      AudioSampleKind kind = AudioSampleKind::Unsupported;
      hr = DefaultOutputId(enumerator.Get(), deviceId) ? S_OK : E_NOTFOUND;
      if (SUCCEEDED(hr)) hr = enumerator->GetDevice(deviceId.c_str(), &device);
      if (SUCCEEDED(hr)) {
        hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                              reinterpret_cast<void**>(client.GetAddressOf()));
      }
      if (SUCCEEDED(hr)) hr = client->GetMixFormat(mix.Put());
      if (SUCCEEDED(hr)) {
        OpenWatchdog watchdog(state);
        hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, kBufferDuration, 0, mix.Get(),
                                nullptr);
        watchdog.Opened();
      }
      if (SUCCEEDED(hr)) hr = client->GetService(IID_PPV_ARGS(&capture));
      if (SUCCEEDED(hr)) {
        kind = Classify(*mix.Get());
        if (kind == AudioSampleKind::Unsupported) hr = AUDCLNT_E_UNSUPPORTED_FORMAT;
      }
      if (SUCCEEDED(hr)) hr = client->Start();
      const uint32_t rate = mix ? mix.Get()->nSamplesPerSec : 0;
      const uint32_t channels = mix ? mix.Get()->nChannels : 0;
      mix.Reset();
      if (FAILED(hr)) {
        LogDebug("Audio: no output device to capture ({})", ErrorText(hr));
        WaitSteps(*state, kEndpointRetrySteps);
        continue;
      }
      LogInfo("Audio: capturing the output device, {} Hz, {} channel(s)", rate, channels);
      Poll(*state, enumerator.Get(), capture.Get(), deviceId, kind, rate, channels, warnedMute);
      client->Stop();
    }
  }

  static AudioSampleKind Classify(const WAVEFORMATEX& mix) {
    bool isFloat = mix.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    bool isPcm = mix.wFormatTag == WAVE_FORMAT_PCM;
    uint16_t validBits = 0;
    const bool extensible = mix.wFormatTag == WAVE_FORMAT_EXTENSIBLE && mix.cbSize >= 22;
    if (extensible) {
      const auto& ext = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(mix);
      isFloat = IsEqualGUID(ext.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
      isPcm = IsEqualGUID(ext.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
      validBits = ext.Samples.wValidBitsPerSample;
    }
    return ClassifySampleFormat(isFloat, isPcm, mix.wBitsPerSample, validBits, extensible);
  }

  // Polls the loopback buffer until stop, a failing call or a new default device.
  void Poll(AudioCapture::State& state, IMMDeviceEnumerator* enumerator, IAudioCaptureClient* capture,
            const std::wstring& deviceId, AudioSampleKind kind, uint32_t rate, uint32_t channels, bool& warnedMute) {
    ULONGLONG lastCheck = GetTickCount64();
    while (!state.stop) {
      if (state.muteRequested && !warnedMute) {
        LogWarn("Audio: the PC speakers can't be muted while capturing the output device (needs a newer Windows)");
        warnedMute = true;
      }
      Sleep(kEndpointPollMs);
      UINT32 packet = 0;
      if (FAILED(capture->GetNextPacketSize(&packet))) return;
      while (packet > 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        if (FAILED(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) return;
        const size_t bytes = size_t{frames} * channels * (kind == AudioSampleKind::Pcm16 ? 2 : 4);
        const size_t converted = ConvertToStereo16(kind, {data, data ? bytes : 0}, frames, channels,
                                                   (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0, converted_);
        if (FAILED(capture->ReleaseBuffer(frames))) return;
        if (converted > 0) state.Deliver(converted_.data(), converted, rate);
        if (FAILED(capture->GetNextPacketSize(&packet))) return;
      }
      if (GetTickCount64() - lastCheck >= kDefaultDeviceCheckMs) {
        lastCheck = GetTickCount64();
        std::wstring now;
        if (DefaultOutputId(enumerator, now) && now != deviceId) {
          LogInfo("Audio: default output device changed");
          return;
        }
      }
    }
  }

  std::vector<int16_t> zeros_;
  std::vector<int16_t> converted_;  // reused; only grows
};

}  // namespace

std::unique_ptr<AudioSource> MakeWasapiLoopbackSource() { return std::make_unique<WasapiLoopbackSource>(); }

}  // namespace kelm
