#pragma once
// The GUI run's application object: host service, settings, main window, tray icon and
// page host, the start-up sequence and every message the window handles. Single
// threaded: everything here runs on the UI thread; workers only post messages.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "app/page_state.h"
#include "app/tray_icon.h"
#include "app/ui_posts.h"
#include "app/web_ui.h"
#include "core/cli_overrides.h"
#include "core/host_service.h"
#include "core/secret_bytes.h"
#include "core/settings.h"
#include "update/updater.h"

namespace kelm {

// What tests replace; every empty member means the real call.
struct AppSeams {
  NotifyIconCall notifyIcon;
  TrackMenuCall trackMenu;
  WebUiDialogCalls dialogs;
  // Told each time the App tells the host that the window is open.
  std::function<void()> pcWindowOpen;
  // The updater's test settings (installer start, signer checks, service pipe name).
  UpdaterTestSettings updater;
};

class App {
 public:
  App(HINSTANCE instance, CliOverrides overrides, bool verbose, std::vector<std::wstring> files,
      AppSeams seams = {});
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Start-up and the message loop; returns the exit code.
  int Run(bool minimized);
  // Start-up only: an exit code when the run must end before the loop.
  std::optional<int> Start(bool minimized);

  std::optional<LRESULT> OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void ShowMainWindow();
  void HideToTray();
  void SendFiles(uint64_t sessionId, std::vector<std::wstring> files);
  void ChooseAndSendFiles(uint64_t sessionId);
  void PushState(bool announceSessions);
  HostOptions BuildHostOptions() const;
  void StartUpdater();
  void SendUpdateState();
  void RequestNotificationAccess();
  void OnSessionEvent(const std::map<uint64_t, HostService::SessionStatus>& sessions);
  void OnTransferEvent(const UiTransferRecord& record);
  void ShowTrayMenu(POINT point);
  std::wstring FallbackText() const;

  // The page protocol (app_page.cpp).
  void OnWebMessage(const std::string& command, const nlohmann::json& message);
  void OnSetSetting(const std::string& key, const nlohmann::json& value);
  void SendInit();
  void PushSettings(bool disconnected);
  void OnAuthenticatorSetup();
  void OnAuthenticatorConfirm(const std::string& code);

  HWND Window() const { return window.Handle(); }
  HostService& Host() { return host; }
  const std::wstring& StatusText() const { return statusText; }
  size_t PendingFileCount() const { return PendingFiles.size(); }
  uint32_t Pin() const { return pin; }
  const Settings& CurrentSettings() const { return settings; }
  Updater* CurrentUpdater() { return updater.get(); }

 private:
  void ShowBalloon(const Balloon& balloon);
  void SaveAppSettings();
  void OnTrayNotification(WPARAM wParam, LPARAM lParam);
  void OnDestroy();
  void TellHostWindowOpen();
  void NewPin();
  void AuthenticatorRemove();
  void HandPairingPolicy();
  nlohmann::json CurrentSettingsJson();
  // Posts the status snapshot when the page is ready and the text changed.
  void PostStatus(const HostStatus& status);

  HINSTANCE instance;
  CliOverrides overrides;
  AppSeams seams;
  UINT taskbarCreatedMessage = 0;
  UINT showWindowMessage = 0;
  bool quitting = false;
  bool showing = false;  // ShowMainWindow is running (its notice has a nested loop)
  HostService host;
  Settings settings;
  SecretBytes pendingSecret;
  uint32_t pin = 0;
  QrCache pairingQr;
  QrCache appQr;
  StatePushPoster StatePushPending;
  std::wstring statusText = L"Starting\u2026";
  std::map<uint64_t, HostService::SessionStatus> KnownSessions;
  std::string LastStateJson;
  std::vector<std::wstring> PendingFiles;
  std::wstring BalloonTarget;
  std::unique_ptr<Updater> updater;
  WebUi page;
  TrayIcon tray;
  MainWindow window;
};

}  // namespace kelm
