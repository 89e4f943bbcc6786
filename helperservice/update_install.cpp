// The service's update checks over the real site, folder, signer and token, and the
// install thread that runs an approved installer.
#include "update_install.h"

#include <wtsapi32.h>

#include <format>
#include <utility>

#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "data_folder.h"
#include "host_processes.h"
#include "restart_marker.h"
#include "service_site.h"
#include "update/fetch_manifest.h"
#include "update/hash_open_file.h"
#include "update/installer_download.h"
#include "update/signer.h"
#include "update_request.h"

namespace kelm::helperservice {
namespace {

constexpr DWORD kHostQuitPollMs = 250;
constexpr DWORD kHostQuitWaitMs = 20000;
constexpr DWORD kInstallerWaitMs = 600000;
constexpr wchar_t kInstallerSwitches[] = L" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART";

template <typename T>
bool TokenValue(HANDLE token, TOKEN_INFORMATION_CLASS what, T& value) {
  DWORD size = 0;
  return GetTokenInformation(token, what, &value, sizeof value, &size) != FALSE;
}

class ServiceUpdateSteps : public UpdateRequestSteps {
 public:
  ServiceUpdateSteps(Approved& approved, const std::atomic<bool>* cancel) : approved_(approved), cancel_(cancel) {
    config_.site = std::string(ServiceUpdateSite());
    config_.publicKey = std::string(ServiceUpdateKey());
    config_.siteOverridden = false;  // local http is never allowed
    config_.currentVersion = kServiceVersion;
  }

  std::optional<update::Manifest> FetchManifest(std::string_view channel, std::string& error) override {
    return update::FetchManifest(config_, channel, error, cancel_);
  }
  bool PrepareUpdatesFolder() override { return service::PrepareUpdatesFolder(); }
  bool DownloadInstaller(const update::Manifest& manifest, std::string& error) override {
    approved_.installerPath = service::UpdatesFolder() + L"\\tavro-Setup-" + Utf8ToWide(manifest.version.ToString()) + L".exe";
    return update::DownloadInstaller(config_, manifest, approved_.installerPath, error, {}, cancel_);
  }
  bool HashSavedInstaller(std::array<uint8_t, 32>& digest, uint64_t& size) override {
    approved_.installerFile.Reset(CreateFileW(approved_.installerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return approved_.installerFile && update::HashOpenFile(approved_.installerFile.Get(), digest, size);
  }
  bool CheckSameSigner(std::string& error) override {
    return update::CheckSameSigner(approved_.installerPath, ExecutablePath(), error);
  }
  bool FindElevatedToken(uint32_t session) override {
    approved_.token = ElevatedUserToken(session);
    if (!approved_.token) return false;
    approved_.session = session;
    return true;
  }
  void DeleteDownload() override { DiscardDownload(approved_); }

 private:
  Approved& approved_;
  const std::atomic<bool>* cancel_;
  UpdaterConfig config_;
};

// Removes a folder and what lies in it; links inside are removed, never followed.
void RemoveFolderTree(const std::wstring& folder) {
  WIN32_FIND_DATAW entry{};
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring path = folder + L"\\" + name;
      const bool directory = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (directory && !link) {
        RemoveFolderTree(path);
      } else if (directory) {
        RemoveDirectoryW(path.c_str());
      } else {
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(folder.c_str());
}

// A fresh folder inside the updates folder for the installer's TEMP and TMP, which
// nothing unelevated can write to (the profile's temp folder is the user's).
std::wstring MakeInstallerTempFolder() {
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::wstring folder = std::format(L"{}\\temp-{}-{}", service::UpdatesFolder(), GetCurrentThreadId(),
                                            GetTickCount64() + static_cast<uint64_t>(attempt));
    if (CreateDirectoryW(folder.c_str(), nullptr)) return folder;
  }
  return {};
}

}  // namespace

WinHandle ElevatedUserToken(uint32_t session) {
  // The test copy may stage "standard" (no administrator token) or "none" (nobody signed in).
  const std::wstring staged = ServiceTestSetting(L"TokenSource");
  WinHandle queried;
  if (staged == L"none" || !WTSQueryUserToken(session, queried.Put())) return {};
  if (staged == L"standard") return {};
  TOKEN_ELEVATION elevation{};
  TOKEN_ELEVATION_TYPE type{};
  WinHandle chosen;
  if (TokenValue(queried.Get(), TokenElevation, elevation) && elevation.TokenIsElevated != 0) {
    chosen = std::move(queried);
  } else if (TokenValue(queried.Get(), TokenElevationType, type) && type == TokenElevationTypeLimited) {
    TOKEN_LINKED_TOKEN linked{};
    if (!TokenValue(queried.Get(), TokenLinkedToken, linked)) return {};
    chosen.Reset(linked.LinkedToken);
    queried.Reset();
  } else {
    return {};
  }
  // The linked token may be an impersonation token; a process needs a primary one.
  WinHandle primary;
  if (!DuplicateTokenEx(chosen.Get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, primary.Put())) {
    LogWarn("Update: copying the user's token failed: {}", GetLastError());
    return {};
  }
  return primary;
}

nlohmann::json EvaluateUpdateRequest(std::string_view body, uint32_t session, Approved& approved,
                                     const std::atomic<bool>* cancel) {
  ServiceUpdateSteps steps(approved, cancel);
  return CheckUpdateRequest(body, session, steps);
}

void DiscardDownload(Approved& approved) {
  approved.installerFile.Reset();
  if (!approved.installerPath.empty()) DeleteFileW(approved.installerPath.c_str());
}

void RunApprovedInstaller(std::shared_ptr<Approved> approved) {
  const uint32_t session = approved->session;
  for (DWORD waited = 0; service::HostRunsInSession(session) && waited < kHostQuitWaitMs; waited += kHostQuitPollMs) {
    Sleep(kHostQuitPollMs);
  }
  const std::wstring commandLine = L"\"" + approved->installerPath + L"\"" + kInstallerSwitches;
  if (IsServiceTestCopy()) {
    TOKEN_TYPE type{};
    if (TokenValue(approved->token.Get(), TokenType, type)) {
      LogInfo("Update: the installer's token is of type {}", static_cast<int>(type));
    }
  }
  const std::wstring temp = MakeInstallerTempFolder();
  PROCESS_INFORMATION pi{};
  if (temp.empty() ||
      !service::StartProcessAsUser(approved->token.Get(), approved->installerPath, commandLine,
                                   service::UpdatesFolder(), true, pi, {{L"TEMP", temp}, {L"TMP", temp}})) {
    if (!temp.empty()) RemoveFolderTree(temp);
    service::RestartHost(session, 0);
    return;
  }
  const bool marked = service::WriteRestartMarker(session, pi.dwProcessId);
  if (!marked) LogWarn("Update: writing the restart marker failed");
  WinHandle process(pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  approved->installerFile.Reset();  // from now on the installer owns the file
  LogInfo("Update: installer started (pid {})", pi.dwProcessId);
  DWORD code = STILL_ACTIVE;
  WaitForSingleObject(process.Get(), kInstallerWaitMs);
  GetExitCodeProcess(process.Get(), &code);
  process.Reset();
  LogInfo("Update: installer finished with code {}", code);
  RemoveFolderTree(temp);
  if (marked) {
    service::HandleRestartMarker();
  } else {
    service::RestartHost(session, pi.dwProcessId);
  }
}

}  // namespace kelm::helperservice
