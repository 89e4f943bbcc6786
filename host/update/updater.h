#pragma once
// The host's update checker and installer: one worker thread that checks the signed
// channel manifest on a timer or on request and installs a chosen version, through the
// service when it can, otherwise with Windows approval.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "update/manifest.h"
#include "update/update_config.h"

namespace kelm {

class Updater {
 public:
  using Config = UpdaterConfig;

  enum Phase : uint32_t { kIdle = 0, kChecking = 1, kAvailable = 2, kInstalling = 3, kFailed = 4 };

  struct State {
    uint32_t phase = kIdle;
    std::optional<update::Manifest> manifest;  // only when newer than the running version
    bool required = false;
    std::string error;
    uint64_t bytesReceived = 0;
    uint64_t bytesTotal = 0;
    bool downloading = false;
    std::string lastCheck;  // local "HH:MM" of the last successful check
  };

  // Starts the worker thread; throws std::system_error when it cannot be started.
  explicit Updater(Config config);
  ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  void CheckNow();
  void Install(const std::string& version);
  State GetState() const;

 private:
  enum Request : uint32_t { kNone = 0, kCheck = 1, kInstall = 2, kQuit = 3 };

  void Run();
  bool Check();  // true when the site answered with a valid manifest
  void InstallNow(const update::Manifest& manifest);
  bool InstallWithUac(const update::Manifest& manifest, std::string& error);
  template <typename Change>
  void Apply(Change&& change);

  Config config_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  State state_;
  uint32_t request_ = kNone;
  std::string requestedVersion_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The page's "update" message for `state`.
std::string UpdateStateJson(const Updater::State& state, const Version& running);

}  // namespace kelm
