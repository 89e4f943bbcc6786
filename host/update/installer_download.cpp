// The installer download: whole body in memory, hashed while it arrives, checked, then
// written in one call.
#include "update/installer_download.h"

#include <windows.h>

#include "core/crypto.h"
#include "core/text.h"
#include "update/background_sha256.h"
#include "core/win_handle.h"
#include "update/http_get.h"

namespace kelm::update {

bool DownloadInstaller(const UpdaterConfig& config, const Manifest& manifest, const std::wstring& target,
                       std::string& error, const std::function<void(uint64_t, uint64_t)>& progress,
                       const std::atomic<bool>* cancel) {
  HttpGetOptions options;
  options.maxBytes = manifest.size;
  options.allowLocalHttp = config.siteOverridden;
  options.progress = progress;
  options.cancel = cancel;
  options.deadlineMs = config.test.installerDeadlineMs;
  // Hashing on its own thread overlaps the receive: the digest is ready soon after the
  // last byte instead of one whole pass over the body later.
  BackgroundSha256 hasher;
  options.onBytes = [&hasher](std::span<const uint8_t> piece) { hasher.Feed(piece); };
  std::string getError;
  const auto body = HttpGet(manifest.url, options, getError);
  if (!body) {
    error = "installer: " + getError;
    return false;
  }
  if (body->size() != manifest.size) {
    error = "the installer has the wrong size";
    return false;
  }
  const auto digest = hasher.Finish();
  if (!digest || !ConstantTimeEqual(digest->data(), manifest.sha256.data(), digest->size())) {
    error = "the installer's SHA-256 doesn't match the manifest";
    return false;
  }

  // A file that is there but can't be removed (open elsewhere) is the real reason a
  // new one can't be made: report its error rather than CREATE_NEW's "exists".
  if (!DeleteFileW(target.c_str())) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) {
      error = FailedText("saving the installer", code);
      return false;
    }
  }
  WinHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    error = FailedText("saving the installer", GetLastError());
    return false;
  }
  DWORD written = 0;
  if (!WriteFile(file.Get(), body->data(), static_cast<DWORD>(body->size()), &written, nullptr)) {
    error = FailedText("saving the installer", GetLastError());
    return false;
  }
  if (written != body->size()) {
    error = FailedText("saving the installer", ERROR_HANDLE_DISK_FULL);
    return false;
  }
  file.Reset();
  error.clear();
  return true;
}

}  // namespace kelm::update
