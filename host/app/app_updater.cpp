// The application's half of updating: the updater made from the built-in site and key
// (or the command line's), and its state turned into the page's message, the host's
// notice for devices and the once-per-version balloon.
#include "app/app.h"
#include "app/app_texts.h"
#include "core/log.h"
#include "core/text.h"
#include "update/update_key.h"

namespace kelm {
namespace {

constexpr uint64_t kOverriddenFirstDelayMs = 1000;

}  // namespace

void App::StartUpdater() {
  if (settings.lastRunVersion != kAppVersion) {
    if (!settings.lastRunVersion.empty()) ShowBalloon(UpdatedBalloon());
    settings.lastRunVersion = kAppVersion;
    SaveAppSettings();
  }

  HWND hwnd = window.Handle();
  UpdaterConfig config;
  config.site = std::string(update::kBuiltInUpdateSite);
  config.publicKey = std::string(update::kBuiltInUpdateKey);
  config.channel = settings.updateChannel;
  config.currentVersion = kProgramVersion;
  config.onStateChanged = [hwnd] { PostMessageW(hwnd, kMsgUpdateState, 0, 0); };
  config.onQuitForUpdate = [hwnd] { PostMessageW(hwnd, kMsgQuitForUpdate, 0, 0); };
  config.test = seams.updater;
  if (!overrides.updateUrl.empty()) {
    config.site = overrides.updateUrl;
    config.siteOverridden = true;
    config.firstDelayMs = kOverriddenFirstDelayMs;
  }
  if (!overrides.updateKey.empty()) config.publicKey = overrides.updateKey;
  updater.reset();
  try {
    updater = std::make_unique<Updater>(std::move(config));
  } catch (const std::exception& e) {
    LogError("The updater did not start: {}", e.what());
  }
}

void App::SendUpdateState() {
  if (!updater) return;
  const Updater::State state = updater->GetState();
  if (page.PageReady() && page.HasView()) page.PostJsonText(UpdateStateJson(state, kProgramVersion));
  host.SetUpdateNotice(state.required ? kUpdateRequiredNotice : "");
  if (state.phase != Updater::kAvailable || !state.manifest) return;
  const std::string version = state.manifest->version.ToString();
  if (version == settings.updateNotifiedVersion) return;
  settings.updateNotifiedVersion = version;
  SaveAppSettings();
  ShowBalloon(UpdateAvailableBalloon(Utf8ToWide(version), state.required));
}

}  // namespace kelm
