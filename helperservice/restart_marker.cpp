// Writing, reading and honouring the restart marker.
#include "restart_marker.h"

#include <windows.h>
#include <wtsapi32.h>

#include <ctime>
#include <string>

#include <nlohmann/json.hpp>

#include "core/final_path.h"
#include "core/json_numbers.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/win_handle.h"
#include "data_folder.h"
#include "host_processes.h"
#include "service_names.h"
#include "verified_object.h"

namespace kelm::service {
namespace {

// Deletes an old marker through a handle that is the marker itself; a folder of that
// name or a link is left alone and the write fails.
bool RemoveOldMarker(const std::wstring& path) {
  WinHandle h(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) return GetLastError() == ERROR_FILE_NOT_FOUND;
  const ObjectFacts facts = FactsOf(h.Get(), path);
  return facts.atPath && facts.readable && !facts.directory && !facts.reparse && DeleteByHandle(h.Get());
}

DWORD WINAPI MarkerThread(void*) {
  HandleRestartMarker();
  return 0;
}

}  // namespace

std::wstring RestartMarkerPath() { return ServiceDataFolder() + L"\\update-restart.json"; }

bool WriteRestartMarkerAt(const std::wstring& path, uint32_t session, uint32_t installerProcessId,
                          int64_t unixTime) {
  const nlohmann::json marker = {{"installer", installerProcessId}, {"session", session}, {"time", unixTime}};
  const std::string text = marker.dump();
  if (!RemoveOldMarker(path)) return false;
  // CREATE_NEW never opens through a link planted at the path.
  WinHandle h(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return false;
  DWORD written = 0;
  return WriteFile(h.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

bool WriteRestartMarker(uint32_t session, uint32_t installerProcessId) {
  if (!ServiceDataFolderTrusted()) return false;
  return WriteRestartMarkerAt(RestartMarkerPath(), session, installerProcessId,
                              static_cast<int64_t>(std::time(nullptr)));
}

void CheckRestartMarkerAtStart() {
  if (!ServiceDataFolderTrusted() || GetFileAttributesW(RestartMarkerPath().c_str()) == INVALID_FILE_ATTRIBUTES) {
    return;
  }
  WinHandle thread(CreateThread(nullptr, 0, &MarkerThread, nullptr, 0, nullptr));
}

void HandleRestartMarker() {
  if (!ServiceDataFolderTrusted()) return;
  const std::wstring path = RestartMarkerPath();
  std::string text;
  {
    WinHandle h(CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!h) return;
    const ObjectFacts facts = FactsOf(h.Get(), path);
    if (!facts.atPath || !facts.readable || facts.directory || facts.reparse) return;
    text.resize(kMarkerReadBytes);
    DWORD got = 0;
    if (!ReadFile(h.Get(), text.data(), kMarkerReadBytes, &got, nullptr)) got = 0;
    text.resize(got);
    // Used at most once: a marker that cannot be deleted is not used.
    if (!DeleteByHandle(h.Get())) return;
  }
  const nlohmann::json marker = nlohmann::json::parse(text, nullptr, false);
  if (!marker.is_object()) return;
  const int64_t age = static_cast<int64_t>(std::time(nullptr)) - JsonInteger<int64_t>(marker, "time", 0);
  if (age < 0 || age > kMarkerMaxAgeSeconds) return;
  RestartHost(JsonInteger<uint32_t>(marker, "session", 0), JsonInteger<uint32_t>(marker, "installer", 0));
}

void RestartHost(uint32_t session, uint32_t installerProcessId) {
  if (WinHandle installer(OpenProcess(SYNCHRONIZE, FALSE, installerProcessId)); installer) {
    WaitForSingleObject(installer.Get(), kInstallerWaitMs);
  }
  if (HostRunsInSession(session)) return;
  WinHandle token;
  if (!WTSQueryUserToken(session, token.Put())) {
    LogWarn("Update: nobody is signed in to session {} any more; tavro starts at the next sign-in", session);
    return;
  }
  const std::wstring dir = ExecutableDir();
  const std::wstring host = dir + L"\\" + kHostExeName;
  PROCESS_INFORMATION pi{};
  if (StartProcessAsUser(token.Get(), host, L"\"" + host + L"\"", dir, false, pi)) {
    LogInfo("Update: tavro restarted in session {}", session);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
}

}  // namespace kelm::service
