// Theme: AppsUseLightTheme, background colours, uxtheme's dark-menu switches.
#include "app/theme.h"

#include <winternl.h>

namespace kelm {

bool IsDarkMode() {
  DWORD value = 1;
  DWORD size = sizeof(value);
  const LSTATUS status =
      RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                   L"AppsUseLightTheme", RRF_RT_REG_DWORD, nullptr, &value, &size);
  return status == ERROR_SUCCESS && value == 0;
}

COLORREF ThemeBackgroundColor(bool dark) { return dark ? kDarkBackground : kLightBackground; }

void AllowDarkMenus() {
  // Kept loaded for the life of the process: the menus use it from then on.
  static HMODULE uxtheme = LoadLibraryExW(L"uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (uxtheme == nullptr) return;
  using SetPreferredAppMode = int(WINAPI*)(int);
  using FlushMenuThemes = void(WINAPI*)();
  auto setMode = reinterpret_cast<SetPreferredAppMode>(reinterpret_cast<void (*)()>(GetProcAddress(uxtheme, MAKEINTRESOURCEA(135))));
  auto flush = reinterpret_cast<FlushMenuThemes>(reinterpret_cast<void (*)()>(GetProcAddress(uxtheme, MAKEINTRESOURCEA(136))));
  if (setMode != nullptr) setMode(1);
  if (flush != nullptr) flush();
}

bool WindowsDrawsBackdrop() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return false;
  auto getVersion = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (getVersion == nullptr) return false;
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  if (getVersion(&info) != 0) return false;
  constexpr DWORD kFirstBackdropBuild = 22621;
  return info.dwMajorVersion > 10 || (info.dwMajorVersion == 10 && info.dwBuildNumber >= kFirstBackdropBuild);
}

}  // namespace kelm
