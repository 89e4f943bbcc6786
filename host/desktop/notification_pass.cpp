// Portable core of notification forwarding.
#include "desktop/notification_pass.h"

namespace kelm {
namespace {

constexpr char kUnknownApp[] = "Windows";
constexpr wchar_t kOwnAppMarker[] = L"tavro";
constexpr size_t kMinOwnAppIdLength = 5;

}  // namespace

std::optional<NotificationItem> BuildNotificationItem(const ToastRecord& toast) {
  NotificationItem item;
  item.id = toast.id;
  item.appId = toast.appId;
  item.appName = toast.appInfoRead ? toast.appName : kUnknownApp;
  if (item.appId.size() >= kMinOwnAppIdLength && item.appId.find(kOwnAppMarker) != std::wstring::npos) {
    return std::nullopt;  // a toast of this system's own
  }
  for (size_t i = 0; i < toast.texts.size(); ++i) {
    if (i == 0) {
      item.title = toast.texts[0];
      continue;
    }
    if (!item.body.empty()) item.body += '\n';
    item.body += toast.texts[i];
  }
  if (item.title.empty() && item.body.empty()) return std::nullopt;
  return item;
}

std::optional<NotificationItem> NotificationPass::Consider(const ToastRecord& toast) {
  present_.insert(toast.id);
  if (!seen_.insert(toast.id).second) return std::nullopt;
  if (!primed_) return std::nullopt;  // already on the PC when forwarding began
  return BuildNotificationItem(toast);
}

void NotificationPass::Finish() {
  for (auto it = seen_.begin(); it != seen_.end();) {
    it = present_.count(*it) != 0 ? std::next(it) : seen_.erase(it);
  }
  present_.clear();
  primed_ = true;
}

void NotificationPass::Clear() {
  seen_.clear();
  present_.clear();
  primed_ = false;
}

void NotificationAppMap::Record(uint32_t id, const std::wstring& appId) {
  map_[id] = appId;
  if (map_.size() > kMaxEntries) map_.erase(map_.begin());
}

std::wstring NotificationAppMap::Find(uint32_t id) const {
  const auto it = map_.find(id);
  return it == map_.end() ? std::wstring() : it->second;
}

}  // namespace kelm
