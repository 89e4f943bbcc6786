// Speaker muting shared by all captures of the process, and its crash recovery.
#include "media/speaker_mute.h"

#include <endpointvolume.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <mutex>
#include <vector>

#include "core/com_apartment.h"
#include "core/log.h"
#include "core/registry_key.h"
#include "core/registry_values.h"
#include "core/win_handle.h"

namespace kelm {
namespace {

using Microsoft::WRL::ComPtr;

class CoreAudioEndpoints final : public SpeakerEndpoints {
 public:
  bool DefaultOutput(std::wstring& id) override {
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    CoTaskMem<wchar_t> raw;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator))) ||
        FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) || FAILED(device->GetId(raw.Put()))) {
      return false;
    }
    id = raw.Get();
    return true;
  }
  HRESULT GetMute(const std::wstring& id, bool& muted) override {
    ComPtr<IAudioEndpointVolume> volume;
    HRESULT hr = Open(id, volume);
    BOOL value = FALSE;
    if (SUCCEEDED(hr)) hr = volume->GetMute(&value);
    muted = value != FALSE;
    return hr;
  }
  HRESULT SetMute(const std::wstring& id, bool mute) override {
    ComPtr<IAudioEndpointVolume> volume;
    HRESULT hr = Open(id, volume);
    return SUCCEEDED(hr) ? volume->SetMute(mute ? TRUE : FALSE, nullptr) : hr;
  }

 private:
  // An empty id means the default output device.
  static HRESULT Open(const std::wstring& id, ComPtr<IAudioEndpointVolume>& volume) {
    ComPtr<IMMDeviceEnumerator> enumerator;
    ComPtr<IMMDevice> device;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
    if (SUCCEEDED(hr)) {
      hr = id.empty() ? enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)
                      : enumerator->GetDevice(id.c_str(), &device);
    }
    if (SUCCEEDED(hr)) {
      hr = device->Activate(__uuidof(IAudioEndpointVolume), CLSCTX_ALL, nullptr,
                            reinterpret_cast<void**>(volume.GetAddressOf()));
    }
    return hr;
  }
};

struct MuteState {
  std::mutex mutex;
  unsigned holders = 0;
  bool mutedByHost = false;
  std::wstring deviceId;
  std::shared_ptr<SpeakerEndpoints> endpoints;
};

MuteState& Mute() {
  static MuteState state;
  return state;
}

std::shared_ptr<SpeakerEndpoints> EndpointsLocked(MuteState& s) {
  if (!s.endpoints) s.endpoints = std::make_shared<CoreAudioEndpoints>();
  return s.endpoints;
}

void WriteMutedSpeakersValue(const std::wstring& id) {
  WriteRegString(CreateRegKey(HKEY_CURRENT_USER, TavroRegistryKey(), KEY_SET_VALUE), kMutedSpeakersValue, id);
}

void DeleteMutedSpeakersValue() { RegDeleteKeyValueW(HKEY_CURRENT_USER, TavroRegistryKey().c_str(), kMutedSpeakersValue); }

}  // namespace

void SetSpeakerEndpoints(std::shared_ptr<SpeakerEndpoints> endpoints) {
  std::lock_guard lock(Mute().mutex);
  Mute().endpoints = std::move(endpoints);
}

std::optional<std::wstring> ReadMutedSpeakersValue() {
  const RegKey key = OpenRegKey(HKEY_CURRENT_USER, TavroRegistryKey(), KEY_QUERY_VALUE);
  RegValue value;
  if (!key || ReadRegValue(key, kMutedSpeakersValue, kAnyRegValueSize, value) != ERROR_SUCCESS) return std::nullopt;
  return RegValueString(value);
}

void MuteSpeakers() {
  MuteState& s = Mute();
  std::lock_guard lock(s.mutex);
  if (++s.holders != 1) return;
  const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
  auto endpoints = EndpointsLocked(s);
  std::wstring id;
  if (!endpoints->DefaultOutput(id)) {
    LogInfo("Audio: PC speakers not muted ({})", "no output device");
    return;
  }
  bool muted = false;
  if (FAILED(endpoints->GetMute(id, muted))) {
    LogInfo("Audio: PC speakers not muted ({})", "no mute control");
    return;
  }
  if (muted) {
    LogInfo("Audio: PC speakers not muted ({})", "already muted");
    return;
  }
  s.deviceId = id;
  // Written first, so that a crash between the two steps still gets undone at start.
  WriteMutedSpeakersValue(id);
  if (SUCCEEDED(endpoints->SetMute(id, true))) {
    s.mutedByHost = true;
    LogInfo("Audio: PC speakers muted");
  } else {
    LogWarn("Audio: muting the PC speakers failed");
    DeleteMutedSpeakersValue();
  }
}

void ReleaseSpeakerMute() {
  MuteState& s = Mute();
  std::lock_guard lock(s.mutex);
  if (s.holders == 0) return;
  if (--s.holders > 0 || !s.mutedByHost) return;
  const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
  EndpointsLocked(s)->SetMute(s.deviceId, false);
  LogInfo("Audio: PC speakers unmuted");
  s.mutedByHost = false;
  DeleteMutedSpeakersValue();
}

void RecoverMutedSpeakersFromRegistry() {
  const std::optional<std::wstring> id = ReadMutedSpeakersValue();
  if (!id) return;
  std::shared_ptr<SpeakerEndpoints> endpoints;
  {
    std::lock_guard lock(Mute().mutex);
    endpoints = EndpointsLocked(Mute());
  }
  {
    const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
    std::wstring target = *id;
    if (target.empty()) endpoints->DefaultOutput(target);
    endpoints->SetMute(target, false);
  }
  LogInfo("Audio: unmuted the PC speakers after an unexpected exit");
  std::lock_guard lock(Mute().mutex);
  DeleteMutedSpeakersValue();
}

}  // namespace kelm
