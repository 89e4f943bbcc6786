#pragma once
// The restart marker carries an update across a restart of the service: the installer
// it waits for and the session in which the host starts again afterwards.
#include <cstdint>
#include <string>

namespace kelm::service {

std::wstring RestartMarkerPath();

// Writes {"installer":N,"session":S,"time":T} (sorted keys, compact), replacing an old
// marker; false when the data folder is not trusted or not every byte was written.
bool WriteRestartMarker(uint32_t session, uint32_t installerProcessId);
// The same at `path` (used by WriteRestartMarker; tests name their own file).
bool WriteRestartMarkerAt(const std::wstring& path, uint32_t session, uint32_t installerProcessId,
                          int64_t unixTime);

// Starts a detached thread running HandleRestartMarker when a marker exists.
void CheckRestartMarkerAtStart();
// Reads and deletes the marker through one verified handle, then restarts the host
// when the marker is a fresh object; a marker is used at most once.
void HandleRestartMarker();
// Waits for the installer (at most 600 s), then starts the installed tavro.exe in the
// session unless it already runs there.
void RestartHost(uint32_t session, uint32_t installerProcessId);

// How long a marker stays valid, in seconds.
inline constexpr int64_t kMarkerMaxAgeSeconds = 900;
inline constexpr uint32_t kInstallerWaitMs = 600000;
inline constexpr uint32_t kMarkerReadBytes = 512;

}  // namespace kelm::service
