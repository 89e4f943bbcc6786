#pragma once
// Bringing the PC app behind a forwarded notification to the front, or starting it.
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kelm {

// What identifies a PC app behind an app user model id.
struct AppReference {
  std::wstring targetPath;         // executable or target path of a desktop app; may be empty
  std::wstring packageFamilyName;  // may be empty
  bool Usable() const { return !targetPath.empty() || !packageFamilyName.empty(); }
};

using AppResolver = std::function<AppReference(const std::wstring& appId)>;

// Whether an app user model id may go after "shell:AppsFolder\": not empty, and without
// "\", "/" or "..", which would leave the folder for a path of the device's choosing.
bool AppIdAcceptable(std::wstring_view appId);

// The shell's view of an app user model id (the AppsFolder item's link target and the
// package family before "!").
AppReference ResolveApp(const std::wstring& appId);

// Whether the process runs the referenced app.
bool ProcessMatchesApp(DWORD processId, const AppReference& app);

// The first visible, unowned, uncloaked top-level window of another process that
// shows the app (a packaged app's frame window counts through its child).
HWND FindAppWindow(const AppReference& app);

// Restores, places (on `monitorRect`'s monitor when given and different) and
// foregrounds the window.
void BringToFront(HWND window, const std::optional<RECT>& monitorRect);

// Brings the app forward or starts it; may block for up to 8 s. Run on a thread of
// its own in a single-threaded COM apartment.
void ActivateApp(const std::wstring& appId, const std::optional<RECT>& monitorRect,
                 const AppResolver& resolve = ResolveApp);

}  // namespace kelm
