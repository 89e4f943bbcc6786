// Host status to the tray's state line.
#include "app/tray_status.h"

#include "core/text.h"

namespace kelm {

std::wstring TrayStatusText(const HostService::Status& status) {
  if (!status.running) {
    return status.lastError.empty() ? L"Not running" : L"Not running: " + Utf8ToWide(status.lastError);
  }
  if (status.sessions.empty()) return L"Ready \u2014 waiting for your tablet";
  if (status.sessions.size() == 1) {
    const HostService::SessionStatus& s = status.sessions.front();
    // A relay session counts as Wi-Fi here, as the user sees it.
    return L"Connected to " + Utf8ToWide(s.deviceName) + (s.usb ? L" via USB" : L" via Wi-Fi");
  }
  return std::to_wstring(status.sessions.size()) + L" tablets connected";
}

}  // namespace kelm
