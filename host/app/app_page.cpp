// The application's half of the page protocol: the page's commands, the settings it
// changes, the init, settings and status messages, and authenticator enrolment.
#include "app/app.h"

#include "app/app_texts.h"
#include "app/authenticator.h"
#include "app/page_settings.h"
#include "app/page_state.h"
#include "app/qr_code.h"
#include "app/shell_actions.h"
#include "core/encoding.h"
#include "core/log.h"
#include "core/otp.h"
#include "core/paths.h"
#include "core/text.h"
#include "desktop/file_transfer.h"

namespace kelm {
namespace {

using nlohmann::json;

// Any override but the test update site and key changes what this run does.
bool AnySettingOverridden(const CliOverrides& o) {
  return o.port || o.pin || o.bitrateKbps || o.usbOnly || o.noAdb || o.noDiscovery || o.noDriver ||
         !o.adbPath.empty() || !o.connectServer.empty();
}

}  // namespace

void App::OnWebMessage(const std::string& command, const json& message) {
  if (command == "disconnect") {
    host.Disconnect(message.value("id", uint64_t{0}));
  } else if (command == "newPin") {
    NewPin();
  } else if (command == "removeDevice") {
    host.RemovePairedDevice(message.value("id", std::string()));
  } else if (command == "authenticatorSetup") {
    OnAuthenticatorSetup();
  } else if (command == "authenticatorConfirm") {
    OnAuthenticatorConfirm(message.value("code", std::string()));
  } else if (command == "authenticatorCancel") {
    WipeSecret(pendingSecret);
  } else if (command == "authenticatorRemove") {
    AuthenticatorRemove();
  } else if (command == "setSetting") {
    OnSetSetting(message.value("key", std::string()), message.contains("value") ? message["value"] : json());
  } else if (command == "sendFiles") {
    ChooseAndSendFiles(message.value("id", uint64_t{0}));
  } else if (command == "openDownloads") {
    ShellOpen(TransferFolder());
  } else if (command == "openLogFolder") {
    ShellOpen(LocalDataDir());
  } else if (command == "checkUpdates") {
    if (updater) updater->CheckNow();
  } else if (command == "installUpdate") {
    const std::string version = message.value("version", std::string());
    if (updater) updater->Install(version);
  } else if (command == "openUrl") {
    const std::wstring url = Utf8ToWide(message.value("url", std::string()));
    if (IsAllowedExternalUrl(url)) ShellOpen(url);
  }
  // Any other command is ignored.
}

void App::OnSetSetting(const std::string& key, const json& value) {
  const PageSettingEffects e = ApplyPageSetting(settings, key, value, pin);
  if (!e.handled) return;
  if (e.autostart && !SetAutostart(*e.autostart)) LogWarn("Could not change the Start with Windows setting");
  if (!e.info.empty()) LogInfo("{}", e.info);
  if (e.save) SaveAppSettings();
  if (e.keepAwake) host.SetKeepAwake(settings.keepAwake);
  if (e.forwardNotifications) host.SetForwardNotifications(settings.forwardNotifications);
  if (e.requestNotificationAccess) RequestNotificationAccess();
  if (e.pairingPolicy) HandPairingPolicy();
  if (e.connect) host.SetConnect(settings.connectEnabled, settings.connectServer);
  if (e.bitrate) host.SetBitrate(settings.bitrateMbps * 1000);
  if (e.restartHost) {
    const bool hadSessions = !KnownSessions.empty();
    LogInfo("Restarting the host to apply settings");
    host.Restart(BuildHostOptions());
    PushState(false);
    PushSettings(hadSessions);
    return;
  }
  if (e.push) PushSettings(false);
}

void App::HandPairingPolicy() {
  host.SetPairingPolicy(settings.pairingMethod, pin, settings.authenticatorSecret, settings.codeEveryTime);
}

void App::SendInit() {
  LastStateJson.clear();
  page.PostJson({{"type", "init"},
                 {"version", kAppVersion},
                 {"logDir", WideToUtf8(LocalDataDir())},
                 {"settingsFile", WideToUtf8(SettingsPath())},
                 {"overrides", AnySettingOverridden(overrides) ? kOverridesNotice : ""},
                 {"settings", CurrentSettingsJson()}});
  PushState(false);
  SendUpdateState();
}

json App::CurrentSettingsJson() {
  return SettingsJson(settings, IsAutostartEnabled(), static_cast<uint32_t>(host.Notifications().CurrentAccess()));
}

void App::PushSettings(bool disconnected) {
  page.PostJson({{"type", "settings"}, {"settings", CurrentSettingsJson()}, {"disconnected", disconnected}});
}

void App::PostStatus(const HostStatus& status) {
  if (!page.PageReady() || !page.HasView()) return;
  const std::string fingerprint = KeyFingerprint(host.PairingStore().Identity().PublicKey());
  const std::string text =
      PageJsonText(BuildUiState(status, host.PairingStore().Devices(), fingerprint, pairingQr, appQr));
  if (text == LastStateJson) return;
  LastStateJson = text;
  page.PostJsonText(text);
}

void App::NewPin() {
  uint32_t next = HostService::NewPin();
  while (next == pin) next = HostService::NewPin();
  pin = next;
  if (settings.fixedPin) {
    settings.pin = pin;
    SaveAppSettings();
  }
  host.SetPin(pin);
  LogInfo("New pairing PIN generated");
}

void App::AuthenticatorRemove() {
  WipeSecret(settings.authenticatorSecret);
  settings.codeEveryTime = false;
  if (settings.pairingMethod == PairingMethod::Authenticator) settings.pairingMethod = PairingMethod::Pin;
  SaveAppSettings();
  HandPairingPolicy();
  LogInfo("Authenticator app removed");
  PushSettings(false);
}

void App::OnAuthenticatorSetup() {
  const std::optional<EnrolmentResult> enrolment = MakeTotpSecret(pendingSecret, BuildHostOptions().name);
  if (!enrolment) {
    LogWarn("Could not create an authenticator secret");
    return;
  }
  page.PostJson({{"type", "authenticatorSetup"}, {"qr", QrSvg(enrolment->uri)}, {"secret", enrolment->secret}});
}

void App::OnAuthenticatorConfirm(const std::string& code) {
  std::optional<SecretBytes> secret = VerifyTotpCode(pendingSecret, code, TotpTimeStep());
  bool ok = false;
  if (secret) {
    Settings next = settings;
    next.authenticatorSecret = *secret;
    next.pairingMethod = PairingMethod::Authenticator;
    if (SaveSettings(next)) {
      settings = std::move(next);
      HandPairingPolicy();
      LogInfo("Authenticator app set up for pairing");
      ok = true;
    } else {
      // Enrolled on the phone but forgotten by the PC at its next start: refuse, and
      // keep the secret for another try once the settings can be written.
      LogWarn("Could not save the settings");
      pendingSecret = std::move(*secret);
    }
  }
  page.PostJson({{"type", "authenticatorResult"}, {"ok", ok}});
  if (ok) PushSettings(false);
}

}  // namespace kelm
