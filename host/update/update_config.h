#pragma once
// What the updater and its download and service steps are given: the site, the key,
// the channel, the timing, and the test settings that no user can reach.
#include <cstdint>
#include <functional>
#include <string>

#include "update/version.h"

namespace kelm {

// Settings only tests change (they are not on any command line or in any file).
struct UpdaterTestSettings {
  uint64_t manifestDeadlineMs = 60000;      // whole GET of the manifest, and of its signature
  uint64_t installerDeadlineMs = 1800000;   // whole GET of the installer
  uint64_t serviceReplyWaitMs = 120000;     // the service pipe's reply watchdog
  std::wstring servicePipeName;             // empty: the service's pipe
  // Starts the installer: 0, or the Windows error. Empty: ShellExecuteExW with "runas".
  std::function<uint32_t(const std::wstring& file, const std::wstring& parameters)> shellExecute;
  std::wstring runningProgramPath;          // empty: this executable
  // Replaces WinVerifyTrust's answer for one file (given the real answer).
  std::function<long(const std::wstring& file, long answer)> trustAnswer;
};

struct UpdaterConfig {
  std::string site;       // the download site's base address, without a trailing '/'
  std::string publicKey;  // the signing key, 87 base64url characters
  bool siteOverridden = false;  // --update-url: local http addresses allowed
  std::string channel = "stable";
  Version currentVersion = kProgramVersion;
  uint64_t firstDelayMs = 30000;
  uint64_t intervalMs = 21600000;
  std::function<void()> onStateChanged;
  std::function<void()> onQuitForUpdate;
  UpdaterTestSettings test;
};

}  // namespace kelm
