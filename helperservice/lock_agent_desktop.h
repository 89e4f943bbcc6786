#pragma once
// A lock agent thread's desktop: attached to the input desktop it works on, and whether
// the sign-in screen is what the user sees there.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelm::service {

struct DesktopState {
  DesktopState() = default;
  ~DesktopState();
  DesktopState(const DesktopState&) = delete;
  DesktopState& operator=(const DesktopState&) = delete;

  HDESK desktop = nullptr;
  std::wstring name;
  // The input thread's cached lock-screen answer.
  uint64_t lastCheckMs = 0;
  bool checkedOnce = false;
  bool lockScreenInFront = false;
};

// Attaches the calling thread to the input desktop unless it is attached to one of that
// name already; false (with a WARN line) when SetThreadDesktop refuses.
bool AttachToInputDesktop(DesktopState& state);

// True when the input desktop is "Winlogon", or "Default" with the foreground window
// belonging to the Windows lock app; asked again at most every 100 ms.
bool IsLockScreenInFront(DesktopState& state);

// Windows folder + "\SystemApps\Microsoft.LockApp_cw5n1h2txyewy\LockApp.exe".
std::wstring LockAppPath();

}  // namespace kelm::service
