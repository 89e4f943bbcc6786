// Forwarding of Windows toast notifications: the polling thread and the app map.
#include "desktop/notification_forwarder.h"

#include <objbase.h>

#include "core/com_apartment.h"
#include "core/log.h"

namespace kelm {

const char* AccessText(NotificationAccess access) {
  switch (access) {
    case NotificationAccess::Unavailable: return "unavailable (identity package not registered)";
    case NotificationAccess::Waiting: return "waiting for access";
    case NotificationAccess::Allowed: return "on";
    case NotificationAccess::Denied: return "access denied (Windows settings)";
  }
  return "unavailable (identity package not registered)";
}

NotificationForwarder::Platform NotificationForwarder::DefaultPlatform() {
  Platform p;
  p.toasts = std::make_shared<WinRtToastSource>();
  p.resolve = kelm::ResolveApp;
  return p;
}

void NotificationForwarder::SetPlatform(Platform platform) {
  if (!thread_.joinable()) platform_ = std::move(platform);
}

void NotificationForwarder::Start(ItemCallback onItem) {
  if (thread_.joinable()) return;
  onItem_ = std::move(onItem);
  stopEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stopEvent_) return;  // without a stop event the thread could never be ended
  thread_ = std::thread([this] { Run(); });
}

void NotificationForwarder::Stop() {
  if (thread_.joinable()) {
    SetEvent(stopEvent_.Get());
    thread_.join();
    stopEvent_.Reset();
  }
  // Forwarding off: notifications sent earlier no longer open anything.
  std::lock_guard lock(mutex_);
  apps_ = NotificationAppMap{};
}

std::wstring NotificationForwarder::AppIdFor(uint32_t id) const {
  std::lock_guard lock(mutex_);
  return apps_.Find(id);
}

NotificationForwarder::Access NotificationForwarder::CurrentAccess() const {
  return platform_.toasts ? platform_.toasts->CurrentAccess() : Access::Unavailable;
}

void NotificationForwarder::Run() {
  const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
  Access reported = Access::Waiting;  // a start while undecided logs nothing until it changes
  DWORD wait = 0;
  NotificationPass pass;
  std::vector<ToastRecord> toasts;
  std::string error;
  while (WaitForSingleObject(stopEvent_.Get(), wait) == WAIT_TIMEOUT) {
    wait = platform_.allowedPollMs;
    const Access access = CurrentAccess();
    if (access != reported) {
      LogInfo("Notification forwarding: {}", AccessText(access));
      reported = access;
    }
    if (access != Access::Allowed || !platform_.toasts) {
      wait = platform_.idlePollMs;
      continue;
    }
    const ToastSource::Listing listing = platform_.toasts->List(stopEvent_.Get(), toasts, error);
    if (listing == ToastSource::Listing::Stopped) break;
    if (listing == ToastSource::Listing::Failed) {
      LogDebug("Reading notifications failed: {}", error);
      wait = platform_.idlePollMs;
      continue;
    }
    for (const ToastRecord& toast : toasts) {
      const std::optional<Item> item = pass.Consider(toast);
      if (!item) continue;
      LogDebug("Notification from {}: {}", item->appName, item->title);
      {
        std::lock_guard lock(mutex_);
        apps_.Record(item->id, item->appId);
      }
      if (onItem_) onItem_(*item);
    }
    pass.Finish();
  }
  pass.Clear();
}

}  // namespace kelm
