// Bringing the PC app behind a forwarded notification to the front, or starting it.
#include "desktop/app_activation.h"

#include <dwmapi.h>
#include <propsys.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include "core/com_apartment.h"
#include "core/log.h"
#include "core/text.h"
#include "core/win_handle.h"
#include "desktop/notification_listener_abi.h"

namespace kelm {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kAppsFolder[] = L"shell:AppsFolder\\";
constexpr wchar_t kFrameClass[] = L"ApplicationFrameWindow";
constexpr DWORD kImageNameChars = 520;
constexpr UINT32 kPackageFamilyChars = 65;
constexpr int kClassNameChars = 64;
constexpr int kLaunchLooks = 80;
constexpr DWORD kLaunchLookMs = 100;
constexpr int kPlacementInset = 20;

// GetPackageFamilyName is looked up at run time: older systems (and Wine) may lack it.
using GetPackageFamilyNameFn = LONG(WINAPI*)(HANDLE, UINT32*, PWSTR);

GetPackageFamilyNameFn PackageFamilyNameFunction() {
  static const auto fn = reinterpret_cast<GetPackageFamilyNameFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetPackageFamilyName")));
  return fn;
}

struct Search {
  const AppReference* app;
  DWORD frameProcess = 0;
  HWND found = nullptr;
};

BOOL CALLBACK FindFrameChildProc(HWND child, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(child, &pid);
  if (pid != s->frameProcess && ProcessMatchesApp(pid, *s->app)) {
    s->found = child;
    return FALSE;
  }
  return TRUE;
}

bool Cloaked(HWND window) {
  DWORD cloaked = 0;
  return SUCCEEDED(DwmGetWindowAttribute(window, DWMWA_CLOAKED, &cloaked, sizeof cloaked)) && cloaked != 0;
}

BOOL CALLBACK FindAppWindowProc(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER) != nullptr ||
      (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0 || Cloaked(window)) {
    return TRUE;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == GetCurrentProcessId()) return TRUE;
  if (ProcessMatchesApp(pid, *s->app)) {
    s->found = window;
    return FALSE;
  }
  wchar_t cls[kClassNameChars + 1] = {};
  if (!s->app->packageFamilyName.empty() && GetClassNameW(window, cls, kClassNameChars + 1) > 0 &&
      std::wstring_view(cls) == kFrameClass) {
    Search child{s->app, pid, nullptr};
    EnumChildWindows(window, FindFrameChildProc, reinterpret_cast<LPARAM>(&child));
    if (child.found != nullptr) {
      s->found = window;
      return FALSE;
    }
  }
  return TRUE;
}

void NudgeMouse() {
  INPUT moves[2] = {};
  for (INPUT& in : moves) {
    in.type = INPUT_MOUSE;
    in.mi.dwFlags = MOUSEEVENTF_MOVE;
  }
  moves[0].mi.dx = 1;
  moves[1].mi.dx = -1;
  SendInput(2, moves, sizeof(INPUT));
}

}  // namespace

bool AppIdAcceptable(std::wstring_view appId) {
  return !appId.empty() && appId.find_first_of(L"\\/") == std::wstring_view::npos &&
         appId.find(L"..") == std::wstring_view::npos;
}

AppReference ResolveApp(const std::wstring& appId) {
  AppReference app;
  if (!AppIdAcceptable(appId)) return app;
  const size_t bang = appId.find(L'!');
  if (bang != std::wstring::npos) app.packageFamilyName = appId.substr(0, bang);
  ComPtr<IShellItem2> item;
  if (FAILED(SHCreateItemFromParsingName((std::wstring(kAppsFolder) + appId).c_str(), nullptr,
                                         IID_PPV_ARGS(&item)))) {
    return app;
  }
  CoTaskMem<wchar_t> target;
  if (SUCCEEDED(item->GetString(kLinkTargetParsingPath, target.Put())) && target) {
    app.targetPath = target.Get();
  }
  return app;
}

bool ProcessMatchesApp(DWORD processId, const AppReference& app) {
  WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return false;
  if (!app.targetPath.empty()) {
    wchar_t image[kImageNameChars] = {};
    DWORD size = kImageNameChars;
    if (QueryFullProcessImageNameW(process.Get(), 0, image, &size) &&
        CompareStringOrdinal(image, static_cast<int>(size), app.targetPath.c_str(),
                             static_cast<int>(app.targetPath.size()), TRUE) == CSTR_EQUAL) {
      return true;
    }
  }
  if (!app.packageFamilyName.empty()) {
    if (const GetPackageFamilyNameFn fn = PackageFamilyNameFunction()) {
      wchar_t family[kPackageFamilyChars] = {};
      UINT32 length = kPackageFamilyChars;
      if (fn(process.Get(), &length, family) == ERROR_SUCCESS &&
          CompareStringOrdinal(family, -1, app.packageFamilyName.c_str(), -1, TRUE) == CSTR_EQUAL) {
        return true;
      }
    }
  }
  return false;
}

HWND FindAppWindow(const AppReference& app) {
  Search s{&app};
  EnumWindows(FindAppWindowProc, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

void BringToFront(HWND window, const std::optional<RECT>& monitorRect) {
  if (monitorRect) {
    HMONITOR target = MonitorFromRect(&*monitorRect, MONITOR_DEFAULTTONULL);
    if (target != nullptr && target != MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST)) {
      ShowWindow(window, SW_RESTORE);
      SetWindowPos(window, nullptr, monitorRect->left + kPlacementInset, monitorRect->top + kPlacementInset, 0, 0,
                   SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      ShowWindow(window, SW_MAXIMIZE);
    }
  }
  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  NudgeMouse();  // this process now has the last input, which lets it set the foreground
  if (SetForegroundWindow(window)) return;
  HWND foreground = GetForegroundWindow();
  const DWORD foregroundThread = foreground != nullptr ? GetWindowThreadProcessId(foreground, nullptr) : 0;
  const DWORD self = GetCurrentThreadId();
  if (foregroundThread != 0 && foregroundThread != self && AttachThreadInput(self, foregroundThread, TRUE)) {
    BringWindowToTop(window);
    SetForegroundWindow(window);
    AttachThreadInput(self, foregroundThread, FALSE);
    return;
  }
  BringWindowToTop(window);
  SetForegroundWindow(window);
}

void ActivateApp(const std::wstring& appId, const std::optional<RECT>& monitorRect, const AppResolver& resolve) {
  if (!AppIdAcceptable(appId)) {
    LogWarn("Not activating '{}': not an app id", WideToUtf8(appId));
    return;
  }
  const AppReference app = resolve ? resolve(appId) : AppReference{};
  if (app.Usable()) {
    if (HWND window = FindAppWindow(app)) {
      LogInfo("Activating {} (already open)", WideToUtf8(appId));
      BringToFront(window, monitorRect);
      return;
    }
  }
  HWND before = GetForegroundWindow();
  // No error UI: a dialog about an app uninstalled since its notification would keep this
  // activation, and with it every later one, waiting on a user who is at the device.
  const std::wstring target = std::wstring(kAppsFolder) + appId;
  SHELLEXECUTEINFOW run{};
  run.cbSize = sizeof run;
  run.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
  run.lpVerb = L"open";
  run.lpFile = target.c_str();
  run.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&run)) {
    LogWarn("Opening {} failed ({})", WideToUtf8(appId), GetLastError());
    return;
  }
  const WinHandle launched(run.hProcess);
  // Foreground rights go to the launched process only, never to every process.
  if (launched) AllowSetForegroundWindow(GetProcessId(launched.Get()));
  LogInfo("Opened {}", WideToUtf8(appId));
  for (int look = 0; look < kLaunchLooks; ++look) {
    Sleep(kLaunchLookMs);
    HWND window = app.Usable() ? FindAppWindow(app) : nullptr;
    if (window == nullptr) {
      HWND now = GetForegroundWindow();
      DWORD pid = 0;
      if (now != nullptr && now != before && GetWindowThreadProcessId(now, &pid) != 0 && pid != GetCurrentProcessId()) {
        window = now;
      }
    }
    if (window != nullptr) {
      BringToFront(window, monitorRect);
      return;
    }
  }
}

}  // namespace kelm
