#pragma once
// Process-wide muting of the PC speakers while captures ask for it, remembered in the
// registry so that a crash cannot leave the PC mute.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>

namespace kelm {

// The output devices' mute controls; the Core Audio endpoint volume unless replaced.
class SpeakerEndpoints {
 public:
  virtual ~SpeakerEndpoints() = default;
  // The default output device's id; false when there is none.
  virtual bool DefaultOutput(std::wstring& id) = 0;
  virtual HRESULT GetMute(const std::wstring& id, bool& muted) = 0;
  virtual HRESULT SetMute(const std::wstring& id, bool mute) = 0;
};

// Replaces the endpoints (nullptr: Core Audio again).
void SetSpeakerEndpoints(std::shared_ptr<SpeakerEndpoints> endpoints);

// One capture more that wants the speakers muted; the first one mutes them.
void MuteSpeakers();
// One capture fewer; the last one unmutes what this program muted.
void ReleaseSpeakerMute();
// Start-up recovery from the registry value.
void RecoverMutedSpeakersFromRegistry();

// The registry value naming the endpoint this program muted (under TavroRegistryKey).
inline constexpr wchar_t kMutedSpeakersValue[] = L"MutedSpeakers";
// Reads "MutedSpeakers" bounded by what the registry returns (a missing terminator is
// tolerated); nullopt when it does not exist.
std::optional<std::wstring> ReadMutedSpeakersValue();

}  // namespace kelm
