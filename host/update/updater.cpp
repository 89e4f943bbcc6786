// The updater's worker thread: timed and requested checks, and the install of a
// chosen version through the service or with Windows approval.
#include "update/updater.h"

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include <chrono>
#include <format>

#include "core/com_apartment.h"
#include "core/crypto.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/unique_any.h"
#include "core/win_handle.h"
#include "update/fetch_manifest.h"
#include "update/hash_open_file.h"
#include "update/installer_download.h"
#include "update/service_pipe_client.h"
#include "update/signer.h"

namespace kelm {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kProgressEveryMs = 200;
constexpr wchar_t kInstallerParameters[] = L"/SILENT /SUPPRESSMSGBOXES /NORESTART /RESTARTTAVRO=1";

std::string LocalTimeText() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return std::format("{:02}:{:02}", now.wHour, now.wMinute);
}

uint32_t ShellExecuteRunas(const std::wstring& file, const std::wstring& parameters) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hwnd = nullptr;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExW(&info)) return 0;
  const DWORD code = GetLastError();
  return code != 0 ? code : ERROR_GEN_FAILURE;
}


// "The update failed: " + text, ending in exactly one full stop.
std::string UpdateFailedText(const std::string& text) {
  std::string out = "The update failed: " + text;
  if (!out.ends_with('.')) out += '.';
  return out;
}

}  // namespace

Updater::Updater(Config config) : config_(std::move(config)) { thread_ = std::thread([this] { Run(); }); }

Updater::~Updater() {
  {
    std::lock_guard lock(mutex_);
    request_ = kQuit;
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Updater::CheckNow() {
  {
    std::lock_guard lock(mutex_);
    // An install in progress makes a check pointless; a pending request already checks.
    if (request_ == kNone && state_.phase != kInstalling) request_ = kCheck;
  }
  wake_.notify_all();
}

void Updater::Install(const std::string& version) {
  {
    std::lock_guard lock(mutex_);
    if (request_ == kQuit || state_.phase == kInstalling) return;
    request_ = kInstall;
    requestedVersion_ = version;
  }
  wake_.notify_all();
}

Updater::State Updater::GetState() const {
  std::lock_guard lock(mutex_);
  return state_;
}

template <typename Change>
void Updater::Apply(Change&& change) {
  {
    std::lock_guard lock(mutex_);
    change(state_);
  }
  if (config_.onStateChanged) config_.onStateChanged();
}

void Updater::Run() {
  const ComApartment comScope = EnterComApartment(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  auto nextCheck = Clock::now() + std::chrono::milliseconds(config_.firstDelayMs);
  const auto interval = std::chrono::milliseconds(config_.intervalMs);
  for (;;) {
    uint32_t request = kNone;
    std::string version;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_until(lock, nextCheck, [&] { return request_ != kNone; });
      request = request_;
      if (request != kQuit) request_ = kNone;
      version = requestedVersion_;
    }
    if (request == kQuit) break;
    if (request == kNone) {
      if (Clock::now() < nextCheck) continue;
      Check();
    } else if (request == kCheck) {
      Check();
    } else if (request == kInstall) {
      // Only a fresh, verified manifest may start an install: after a failed check the
      // version still shown is no longer known to be on offer.
      const bool checked = Check();
      const State state = GetState();
      if (checked && state.manifest && state.manifest->version.ToString() == version) {
        InstallNow(*state.manifest);
      } else if (checked && state.manifest) {
        const std::string newest = state.manifest->version.ToString();
        LogInfo("Update: {} was asked for, but {} is the newest now", version, newest);
        Apply([&](State& s) { s.error = "tavro " + newest + " is out now: click Update to install it."; });
      } else {
        Apply([](State& s) { s.error = "That version isn't available any more: check for updates again."; });
      }
    }
    nextCheck = Clock::now() + interval;
  }
}

bool Updater::Check() {
  Apply([](State& s) {
    if (s.phase != kAvailable) s.phase = kChecking;
  });
  std::string error;
  const auto manifest = update::FetchManifest(config_, config_.channel, error, &stop_);
  if (manifest) {
    const bool newer = manifest->version > config_.currentVersion;
    const bool required = newer && manifest->minimumVersion && config_.currentVersion < *manifest->minimumVersion;
    if (newer) {
      LogInfo("Update available: tavro {}{}", manifest->version.ToString(), required ? " (required)" : "");
    } else {
      LogInfo("Update check: tavro {} is the newest version", config_.currentVersion.ToString());
    }
    const std::string now = LocalTimeText();
    Apply([&](State& s) {
      s.phase = newer ? kAvailable : kIdle;
      s.manifest = newer ? manifest : std::nullopt;
      s.required = required;
      s.error.clear();
      s.lastCheck = now;
    });
    return true;
  }
  LogWarn("Update check failed: {}", error);
  Apply([&](State& s) {
    s.phase = s.manifest ? kAvailable : kIdle;
    s.error = "Couldn't check for updates (" + error + ").";
  });
  return false;
}

void Updater::InstallNow(const update::Manifest& manifest) {
  LogInfo("Installing tavro {} (asked by the user)", manifest.version.ToString());
  Apply([](State& s) {
    s.phase = kInstalling;
    s.error.clear();
  });
  update::ServicePipeSettings pipe;
  pipe.pipeName = config_.test.servicePipeName;
  pipe.replyWaitMs = config_.test.serviceReplyWaitMs;
  pipe.stop = &stop_;
  std::string serviceText;
  switch (update::AskServiceToInstall(config_.channel, manifest.version.ToString(), serviceText, pipe)) {
    case update::ServiceRequestResult::Accepted:
      LogInfo("The tavro service installs the update; quitting");
      if (config_.onQuitForUpdate) config_.onQuitForUpdate();
      return;
    case update::ServiceRequestResult::RefusedFallback:
      LogInfo("The tavro service can't install it ({}); asking Windows for approval", serviceText);
      break;
    case update::ServiceRequestResult::Refused:
      LogWarn("The tavro service refused the update: {}", serviceText);
      Apply([&](State& s) {
        s.phase = kAvailable;
        s.downloading = false;
        s.error = serviceText;
      });
      return;
    case update::ServiceRequestResult::NoUsableService:
      break;
  }
  std::string text;
  if (InstallWithUac(manifest, text)) {
    if (config_.onQuitForUpdate) config_.onQuitForUpdate();
    return;
  }
  LogWarn("Update failed: {}", text);
  Apply([&](State& s) {
    s.phase = kFailed;
    s.error = UpdateFailedText(text);
  });
}

bool Updater::InstallWithUac(const update::Manifest& manifest, std::string& error) {
  const std::wstring folder = LocalDataDir() + L"\\updates";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring installer = folder + L"\\tavro-Setup-" + Utf8ToWide(manifest.version.ToString()) + L".exe";

  Apply([](State& s) {
    s.downloading = true;
    s.bytesReceived = 0;
    s.bytesTotal = 0;
  });
  uint64_t lastProgress = 0;
  const auto progress = [&](uint64_t received, uint64_t total) {
    const uint64_t now = GetTickCount64();
    const bool last = total != 0 && received == total;  // the end is always shown
    if (!last && lastProgress != 0 && now - lastProgress < kProgressEveryMs) return;
    lastProgress = now;
    Apply([&](State& s) {
      s.bytesReceived = received;
      s.bytesTotal = total;
    });
  };
  std::string text;
  const bool downloaded = update::DownloadInstaller(config_, manifest, installer, text, progress, &stop_);
  Apply([](State& s) { s.downloading = false; });
  if (!downloaded) {
    error = "The update couldn't be downloaded (" + text + ").";
    return false;
  }

  // The saved file lies in the user's own folder: from here on it is held open against
  // writers, deletion and renaming, and everything is checked through this handle, so
  // the file that is verified is the file that is started.
  WinHandle held(CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const auto reject = [&](const std::string& why) {
    held.Reset();
    DeleteFileW(installer.c_str());
    error = "The update was rejected: " + why + ".";
    return false;
  };
  if (!held) return reject(std::format("the saved installer can't be opened ({})", GetLastError()));
  std::array<uint8_t, 32> digest{};
  uint64_t size = 0;
  if (!update::HashOpenFile(held.Get(), digest, size) || size != manifest.size ||
      !ConstantTimeEqual(digest.data(), manifest.sha256.data(), digest.size())) {
    return reject("the saved installer doesn't match the manifest");
  }
  const std::wstring running =
      config_.test.runningProgramPath.empty() ? ExecutablePath() : config_.test.runningProgramPath;
  if (!update::CheckSameSigner(installer, running, text, config_.test.trustAnswer)) return reject(text);

  const uint32_t started = config_.test.shellExecute ? config_.test.shellExecute(installer, kInstallerParameters)
                                                     : ShellExecuteRunas(installer, kInstallerParameters);
  held.Reset();
  if (started == 0) {
    LogInfo("Installer started with Windows approval; quitting");
    return true;
  }
  error = started == ERROR_CANCELLED ? "The update needs your approval in the Windows prompt."
                                     : FailedText("Starting the installer", started) + ".";
  return false;
}

}  // namespace kelm
