// The application object: start-up, window messages, tray, balloons and file sending.
#include "app/app.h"

#include "app/app_texts.h"
#include "app/authenticator.h"
#include "app/host_options_builder.h"
#include "app/shell_actions.h"
#include "app/single_instance.h"
#include "app/theme.h"
#include "app/tray_status.h"
#include "core/local_addresses.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"

namespace kelm {
namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kTickMs = 3000;

// Frees what the host service posted after the window went away.
void DropQueuedPayloads(HWND window) {
  MSG msg;
  while (PeekMessageW(&msg, window, kMsgUserText, kMsgTransfer, PM_REMOVE)) {
    if (msg.message == kMsgUserText) TakeUserText(msg.lParam);
    if (msg.message == kMsgTransfer) TakeTransfer(msg.lParam);
  }
}

}  // namespace

App::App(HINSTANCE instance_, CliOverrides overrides_, bool verbose, std::vector<std::wstring> files,
         AppSeams seams_)
    : instance(instance_),
      overrides(std::move(overrides_)),
      seams(std::move(seams_)),
      PendingFiles(std::move(files)),
      page(instance_, verbose,
           WebUi::Callbacks{[this] { SendInit(); },
                            [this](const std::string& command, const nlohmann::json& message) {
                              OnWebMessage(command, message);
                            },
                            [this](uint64_t id, std::vector<std::wstring> paths) { SendFiles(id, std::move(paths)); },
                            [this] { window.DropBackdrop(); }}) {
  if (seams.notifyIcon) tray.SetNotifyCall(seams.notifyIcon);
  if (seams.trackMenu) tray.SetTrackMenuCall(seams.trackMenu);
  page.SetDialogCalls(seams.dialogs);
}

App::~App() {
  window.Destroy();
  tray.Remove();
  WipeSecret(pendingSecret);
}

void App::SaveAppSettings() {
  if (!SaveSettings(settings)) LogWarn("Could not save the settings");
}

int App::Run(bool minimized) {
  if (const std::optional<int> early = Start(minimized)) return *early;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

std::optional<int> App::Start(bool minimized) {
  settings = LoadSettings();
  if (settings.fixedPin && settings.pin != 0) {
    pin = settings.pin;
  } else {
    pin = HostService::NewPin();
    if (settings.fixedPin) {
      settings.pin = pin;
      SaveAppSettings();
    }
  }
  // This run only: never stored.
  if (overrides.pin) pin = *overrides.pin;

  AllowDarkMenus();
  taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
  showWindowMessage = RegisterWindowMessageW(kShowWindowMessage);
  if (!window.Create(instance, [this](UINT m, WPARAM w, LPARAM l) { return OnWindowMessage(m, w, l); })) return 1;
  HWND hwnd = window.Handle();
  SetPropW(hwnd, kInstanceProperty, reinterpret_cast<HANDLE>(static_cast<uintptr_t>(InstanceHash(LocalDataDir()))));
  ChangeWindowMessageFilterEx(hwnd, taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
  ChangeWindowMessageFilterEx(hwnd, showWindowMessage, MSGFLT_ALLOW, nullptr);
  window.SetFallbackText([this] { return FallbackText(); });

  tray.Configure(hwnd, kMsgTray, window.SmallIcon(), window.Icon());
  tray.SetTooltip(L"tavro\n" + statusText);
  tray.Add();

  std::string error;
  if (!host.Initialize(error)) {
    LogError("{}", error);
    MessageBoxW(hwnd, Utf8ToWide(error).c_str(), L"tavro", MB_ICONERROR);
    window.Destroy();
    return 1;
  }
  StatePushPending.SetWindow(hwnd);
  host.SetOnStatusChanged([this] { StatePushPending.Changed(); });
  host.SetOnTransfer([hwnd](const std::string& device, const TransferEvent& event) {
    PostTransfer(hwnd, UiTransferRecord{device, event});
  });
  host.SetOnMessage([hwnd](const std::string& text) { PostUserText(hwnd, text); });
  // A failed start shows as the host's error in the status.
  host.Start(BuildHostOptions());
  StartUpdater();
  if (settings.forwardNotifications) RequestNotificationAccess();
  if (!PendingFiles.empty()) SendFiles(0, std::exchange(PendingFiles, {}));
  if (!minimized) ShowMainWindow();
  return std::nullopt;
}

HostOptions App::BuildHostOptions() const { return kelm::BuildHostOptions(settings, pin, overrides, ComputerName()); }

void App::RequestNotificationAccess() {
  HWND hwnd = window.Handle();
  NotificationForwarder::RequestAccess(
      [hwnd](NotificationForwarder::Access) { PostMessageW(hwnd, kMsgNotificationAccess, 0, 0); });
}

void App::TellHostWindowOpen() {
  host.NotePcWindowOpen();
  if (seams.pcWindowOpen) seams.pcWindowOpen();
}

void App::ShowMainWindow() {
  HWND hwnd = window.Handle();
  if (showing || hwnd == nullptr) return;
  showing = true;
  page.Attach(hwnd, window.Backdrop());
  showing = false;
  // The missing-runtime notice may have run a nested loop in which the user quit.
  if (quitting || window.Handle() == nullptr) return;
  window.ShowAndActivate();
  TellHostWindowOpen();
  page.SetVisible(true);
  PushState(false);
  SetTimer(hwnd, kTickTimer, kTickMs, nullptr);
}

void App::HideToTray() {
  ShowWindow(window.Handle(), SW_HIDE);
  page.SetVisible(false);
  KillTimer(window.Handle(), kTickTimer);
  if (!settings.trayHintShown) {
    settings.trayHintShown = true;
    SaveAppSettings();
    ShowBalloon(TrayHintBalloon());
  }
}

void App::ShowBalloon(const Balloon& balloon) {
  BalloonTarget = balloon.target;
  if (tray.Added()) tray.ShowBalloon(balloon.title, balloon.text);
}

void App::SendFiles(uint64_t sessionId, std::vector<std::wstring> files) {
  if (files.empty()) return;
  const std::string name = host.SendFiles(sessionId, files);
  if (!name.empty()) {
    LogInfo("Sending {} file(s) to {}", files.size(), name);
    PushState(false);
    return;
  }
  PendingFiles.insert(PendingFiles.end(), std::make_move_iterator(files.begin()),
                      std::make_move_iterator(files.end()));
  ShowBalloon(PendingFilesBalloon(PendingFiles.size()));
}

void App::ChooseAndSendFiles(uint64_t sessionId) {
  HWND hwnd = window.Handle();
  HWND owner = hwnd != nullptr && IsWindowVisible(hwnd) ? hwnd : nullptr;
  SendFiles(sessionId, ChooseFiles(owner, L"Send files to your device", L"Send"));
}

void App::PushState(bool announceSessions) {
  StatePushPending.Taken();
  const HostService::Status status = host.GetStatus();
  std::map<uint64_t, HostService::SessionStatus> sessions;
  for (const HostService::SessionStatus& s : status.sessions) sessions.emplace(s.id, s);
  if (announceSessions) OnSessionEvent(sessions);
  KnownSessions = std::move(sessions);
  if (!PendingFiles.empty() && !KnownSessions.empty()) SendFiles(0, std::exchange(PendingFiles, {}));
  statusText = TrayStatusText(status);
  if (tray.Added()) tray.SetTooltip(L"tavro\n" + statusText);
  PostStatus(status);
}

void App::OnSessionEvent(const std::map<uint64_t, HostService::SessionStatus>& sessions) {
  for (const auto& [id, s] : sessions) {
    if (!KnownSessions.contains(id)) ShowBalloon(ConnectedBalloon(Utf8ToWide(s.deviceName), s.usb));
  }
  for (const auto& [id, s] : KnownSessions) {
    if (!sessions.contains(id)) ShowBalloon(DisconnectedBalloon(Utf8ToWide(s.deviceName)));
  }
}

void App::OnTransferEvent(const UiTransferRecord& record) {
  const TransferEvent& e = record.event;
  ShowBalloon(TransferBalloon(e.direction == kTransferReceived, e.result == kTransferCompleted,
                              Utf8ToWide(record.device), Utf8ToWide(e.name), e.path));
}

void App::ShowTrayMenu(POINT point) {
  const std::vector<TrayMenuItem> rows = TrayMenuRows(statusText, !KnownSessions.empty(), IsAutostartEnabled());
  switch (tray.ShowMenu(rows, point)) {
    case kMenuOpen:
      ShowMainWindow();
      break;
    case kMenuSendFiles:
      ChooseAndSendFiles(0);
      break;
    case kMenuAutostart:
      if (!SetAutostart(!IsAutostartEnabled())) LogWarn("Could not change the Start with Windows setting");
      PushSettings(false);
      break;
    case kMenuQuit:
      quitting = true;
      window.Destroy();
      break;
    default:
      break;
  }
}

std::wstring App::FallbackText() const {
  if (!page.RuntimeMissing()) return {};
  return L"tavro\n\n" + statusText +
         L"\n\nThe Microsoft Edge WebView2 Runtime is missing, so this window can't show its controls. Install it "
         L"from " +
         std::wstring(kWebViewDownloadUrl) + L" and restart tavro.";
}

void App::OnTrayNotification(WPARAM wParam, LPARAM lParam) {
  switch (LOWORD(lParam)) {
    case WM_CONTEXTMENU:
      ShowTrayMenu(POINT{static_cast<short>(LOWORD(wParam)), static_cast<short>(HIWORD(wParam))});
      break;
    case WM_LBUTTONUP:
    case NIN_SELECT:
    case NIN_KEYSELECT:
      ShowMainWindow();
      break;
    case NIN_BALLOONUSERCLICK:
      if (BalloonTarget.empty()) {
        ShowMainWindow();
      } else {
        OpenFolderAndSelect(BalloonTarget);
      }
      break;
    default:
      break;
  }
}

void App::OnDestroy() {
  HWND hwnd = window.Handle();
  KillTimer(hwnd, kTickTimer);
  tray.Remove();
  page.Close();
  LogInfo("Quitting");
  host.Shutdown();
  host.SetOnStatusChanged(nullptr);
  host.SetOnMessage(nullptr);
  host.SetOnTransfer(nullptr);
  DropQueuedPayloads(hwnd);
  RemovePropW(hwnd, kInstanceProperty);
  PostQuitMessage(0);
}

std::optional<LRESULT> App::OnWindowMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage) {
    // Explorer restarted: the icon is gone from the new notification area.
    if (tray.Added()) tray.Add();
    return 0;
  }
  if (showWindowMessage != 0 && message == showWindowMessage) {
    ShowMainWindow();
    return 0;
  }
  switch (message) {
    case kMsgStateChanged:
      PushState(true);
      return 0;
    case kMsgTray:
      OnTrayNotification(wParam, lParam);
      return 0;
    case kMsgUserText:
      if (std::unique_ptr<std::wstring> text = TakeUserText(lParam)) ShowBalloon({L"tavro", *text, {}});
      return 0;
    case kMsgTransfer:
      if (std::unique_ptr<UiTransferRecord> record = TakeTransfer(lParam)) OnTransferEvent(*record);
      PushState(false);
      return 0;
    case kMsgNotificationAccess:
      PushSettings(false);
      return 0;
    case kMsgUpdateState:
      SendUpdateState();
      return 0;
    case kMsgQuitForUpdate:
      LogInfo("Quitting for the update");
      quitting = true;
      window.Destroy();
      return 0;
    case WM_TIMER:
      if (wParam != kTickTimer) return 0;
      PushState(true);
      if (IsWindowVisible(window.Handle()) && !IsIconic(window.Handle())) TellHostWindowOpen();
      return 0;
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_MOVE:
      page.NotifyMoved();
      return 0;
    case WM_SIZE:
      page.UpdateBounds();
      return 0;
    case WM_CLOSE:
      if (quitting) return std::nullopt;
      HideToTray();
      return 0;
    case WM_QUERYENDSESSION:
      return 1;
    case WM_ENDSESSION:
      if (wParam == TRUE) {
        LogInfo("Windows is shutting down");
        host.Shutdown();
        tray.Remove();
      }
      return 0;
    case WM_SETTINGCHANGE:
      if (lParam != 0 && std::wstring_view(reinterpret_cast<const wchar_t*>(lParam)) == L"ImmersiveColorSet") {
        window.ApplyTheme();
        page.SetDarkBackground(IsDarkMode());
        AllowDarkMenus();
      }
      return 0;
    case WM_COPYDATA: {
      const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (data == nullptr || data->dwData != kHandoffTag) return 0;
      SendFiles(0, ParseCopyDataFiles(data));
      return 1;
    }
    default:
      return std::nullopt;
  }
}

}  // namespace kelm
