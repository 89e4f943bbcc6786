// The lock agent's desktop attachment and its lock-screen test.
#include "lock_agent_desktop.h"

#include "core/log.h"
#include "core/text.h"
#include "core/win_handle.h"

namespace kelm::service {
namespace {

constexpr uint64_t kFrontCheckEveryMs = 100;
constexpr DWORD kDesktopNameMax = 64;

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

std::wstring DesktopName(HDESK desktop) {
  wchar_t name[kDesktopNameMax + 1] = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(desktop, UOI_NAME, name, sizeof(name) - sizeof(wchar_t), &needed)) return {};
  return name;
}

std::wstring ForegroundImage() {
  const HWND window = GetForegroundWindow();
  if (window == nullptr) return {};
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return {};
  wchar_t path[MAX_PATH * 2] = {};
  DWORD size = static_cast<DWORD>(std::size(path));
  if (!QueryFullProcessImageNameW(process.Get(), 0, path, &size)) return {};
  return std::wstring(path, size);
}

}  // namespace

DesktopState::~DesktopState() {
  if (desktop != nullptr) CloseDesktop(desktop);
}

std::wstring LockAppPath() {
  wchar_t windows[MAX_PATH] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  return std::wstring(windows, length) + L"\\SystemApps\\Microsoft.LockApp_cw5n1h2txyewy\\LockApp.exe";
}

bool AttachToInputDesktop(DesktopState& state) {
  const HDESK input = OpenInputDesktop(0, FALSE, GENERIC_ALL);
  if (input == nullptr) return false;
  const std::wstring name = DesktopName(input);
  if (state.desktop != nullptr && SameName(name, state.name)) {
    CloseDesktop(input);
    return true;
  }
  if (!SetThreadDesktop(input)) {
    LogWarn("SetThreadDesktop({}) failed: {}", WideToUtf8(name), ErrorText(GetLastError()));
    CloseDesktop(input);
    return false;
  }
  if (state.desktop != nullptr) CloseDesktop(state.desktop);
  state.desktop = input;
  state.name = name;
  LogInfo("Attached to desktop '{}'", WideToUtf8(name));
  return true;
}

bool IsLockScreenInFront(DesktopState& state) {
  const uint64_t now = GetTickCount64();
  if (state.checkedOnce && now - state.lastCheckMs <= kFrontCheckEveryMs) return state.lockScreenInFront;
  state.checkedOnce = true;
  state.lastCheckMs = now;
  bool inFront = false;
  if (AttachToInputDesktop(state)) {
    if (SameName(state.name, L"Winlogon")) {
      inFront = true;
    } else if (SameName(state.name, L"Default")) {
      const std::wstring image = ForegroundImage();
      const std::wstring lockApp = LockAppPath();
      inFront = !image.empty() && !lockApp.empty() && SameName(image, lockApp);
    }
  }
  state.lockScreenInFront = inFront;
  return inFront;
}

}  // namespace kelm::service
