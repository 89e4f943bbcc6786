#pragma once
// The window's light and dark appearance: the user's app theme, the background
// colours, dark menus and whether this Windows draws the Mica backdrop.
#include <windows.h>

namespace kelm {

inline constexpr COLORREF kDarkBackground = 0x202020;
inline constexpr COLORREF kLightBackground = 0xF3F3F3;

bool IsDarkMode();
COLORREF ThemeBackgroundColor(bool dark);
// Lets the process's menus follow the dark theme where uxtheme offers it.
void AllowDarkMenus();
// The system backdrop exists from Windows 11 22H2 (build 22621) on; older systems
// may accept the attribute without drawing anything.
bool WindowsDrawsBackdrop();

}  // namespace kelm
