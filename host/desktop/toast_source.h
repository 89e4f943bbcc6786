#pragma once
// Where the forwarder gets the user's toasts and the notification-access state: the
// Windows Runtime listener in the product, a scripted source in tests.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "desktop/notification_pass.h"

namespace kelm {

// Notification-access state (also stored and passed as a 32-bit value).
enum class NotificationAccess : uint32_t {
  Unavailable = 0,  // no package identity, or the listener failed
  Waiting = 1,      // not yet decided
  Allowed = 2,
  Denied = 3,       // in the Windows settings
};

class ToastSource {
 public:
  enum class Listing { Done, Stopped, Failed };
  virtual ~ToastSource() = default;
  // Callable from any thread.
  virtual NotificationAccess CurrentAccess() = 0;
  // The current toasts in list order. Waits for the listing and for `stop` together:
  // Stopped (the listing cancelled) when `stop` is signalled first; Failed with the
  // platform's message in `error`.
  virtual Listing List(HANDLE stop, std::vector<ToastRecord>& toasts, std::string& error) = 0;
};

// The Windows Runtime user notification listener.
class WinRtToastSource : public ToastSource {
 public:
  NotificationAccess CurrentAccess() override;
  Listing List(HANDLE stop, std::vector<ToastRecord>& toasts, std::string& error) override;
};

// Whether this process has package identity (Windows.ApplicationModel.Package.Current).
bool HasPackageIdentity();

// Asks the user for notification access; `answer` runs at once or on a platform thread.
void RequestNotificationAccess(std::function<void(NotificationAccess)> answer);

}  // namespace kelm
