// Runs one updater from the command line, so it can be tried from outside before the
// window exists: prints every state as its page message and logs to the profile's
// host.log. update_probe --profile DIR --update-url URL --update-key KEY
// [--install VERSION] [--channel NAME] [--timeout-ms N]
#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "update/updater.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: update_probe --profile DIR --update-url URL --update-key KEY [--install VERSION]"
                       " [--channel NAME] [--timeout-ms N]\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring profile;
  kelm::UpdaterConfig config;
  std::string install;
  uint64_t timeoutMs = 120000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring name = argv[i];
    const std::string value = kelm::WideToUtf8(argv[i + 1]);
    if (name == L"--profile") profile = argv[i + 1];
    else if (name == L"--update-url") config.site = value;
    else if (name == L"--update-key") config.publicKey = value;
    else if (name == L"--install") install = value;
    else if (name == L"--channel") config.channel = value;
    else if (name == L"--timeout-ms") {
      if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos || value.size() > 9) {
        return Usage();
      }
      timeoutMs = std::stoull(value);
    }
    else return Usage();
  }
  if (argc % 2 == 0 || profile.empty() || config.site.empty() || config.publicKey.empty()) return Usage();
  kelm::SetProfileDir(profile);
  std::string error;
  if (!kelm::PrepareDataDirs(error)) {
    std::fprintf(stderr, "update_probe: %s\n", error.c_str());
    return 1;
  }
  kelm::OpenLogFile(kelm::LocalDataDir() + L"\\host.log");
  config.siteOverridden = true;
  config.firstDelayMs = 1000;

  std::mutex mutex;
  std::condition_variable changed;
  bool quit = false;
  int changes = 0;
  config.onStateChanged = [&] {
    std::lock_guard lock(mutex);
    ++changes;
    changed.notify_all();
  };
  config.onQuitForUpdate = [&] {
    std::lock_guard lock(mutex);
    quit = true;
    changed.notify_all();
  };
  const kelm::Version running = config.currentVersion;
  kelm::Updater updater(std::move(config));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int printed = 0;
  bool installAsked = false;
  int exitCode = 1;
  std::unique_lock lock(mutex);
  for (;;) {
    changed.wait_until(lock, deadline, [&] { return changes != printed || quit; });
    if (changes == printed && !quit) break;  // timed out
    printed = changes;
    lock.unlock();
    const kelm::Updater::State state = updater.GetState();
    std::printf("%s\n", kelm::UpdateStateJson(state, running).c_str());
    std::fflush(stdout);
    lock.lock();
    const bool settled = state.phase != kelm::Updater::kChecking && !state.lastCheck.empty();
    const bool failedCheck = state.phase != kelm::Updater::kChecking && !state.error.empty();
    if (quit) {
      exitCode = 0;
      break;
    }
    if (install.empty() && (settled || failedCheck)) {
      exitCode = failedCheck ? 1 : 0;
      break;
    }
    if (!install.empty() && !installAsked && state.phase == kelm::Updater::kAvailable) {
      installAsked = true;
      updater.Install(install);
    } else if (installAsked && (state.phase == kelm::Updater::kFailed ||
                                (state.phase != kelm::Updater::kInstalling && !state.error.empty()))) {
      break;
    }
  }
  lock.unlock();
  kelm::CloseLogFile();
  return exitCode;
}
