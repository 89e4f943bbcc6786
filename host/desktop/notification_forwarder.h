#pragma once
// Forwarding of Windows toast notifications to the devices, and the app behind each
// forwarded notification for activation from the device.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/win_handle.h"
#include "desktop/app_activation.h"
#include "desktop/notification_pass.h"
#include "desktop/toast_source.h"

namespace kelm {

class NotificationForwarder {
 public:
  using Item = NotificationItem;
  using Access = NotificationAccess;
  using ItemCallback = std::function<void(const Item&)>;

  // Where toasts come from and how app ids are resolved; replaceable for tests.
  struct Platform {
    std::shared_ptr<ToastSource> toasts;
    AppResolver resolve;
    uint32_t allowedPollMs = 1500;
    uint32_t idlePollMs = 5000;  // access not allowed, or the listing failed
  };
  static Platform DefaultPlatform();

  NotificationForwarder() : NotificationForwarder(DefaultPlatform()) {}
  explicit NotificationForwarder(Platform platform) : platform_(std::move(platform)) {}
  ~NotificationForwarder() { Stop(); }
  NotificationForwarder(const NotificationForwarder&) = delete;
  NotificationForwarder& operator=(const NotificationForwarder&) = delete;

  // Only while stopped.
  void SetPlatform(Platform platform);
  const AppResolver& Resolver() const { return platform_.resolve; }

  void Start(ItemCallback onItem);
  void Stop();
  bool Running() const { return thread_.joinable(); }
  std::wstring AppIdFor(uint32_t id) const;
  Access CurrentAccess() const;
  static void RequestAccess(std::function<void(Access)> answer) { RequestNotificationAccess(std::move(answer)); }
  static void ActivateApp(const std::wstring& appId, const std::optional<RECT>& monitorRect,
                          const AppResolver& resolve = kelm::ResolveApp) {
    kelm::ActivateApp(appId, monitorRect, resolve);
  }

 private:
  void Run();

  ItemCallback onItem_;
  std::thread thread_;
  WinHandle stopEvent_;
  mutable std::mutex mutex_;
  NotificationAppMap apps_;  // guarded by mutex_
  Platform platform_;
};

// The text of an access state in "Notification forwarding: {}".
const char* AccessText(NotificationAccess access);

}  // namespace kelm
