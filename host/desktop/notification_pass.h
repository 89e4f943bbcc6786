#pragma once
// Portable core of notification forwarding: which toasts of a listing are new, what
// item each becomes, and the bounded map from forwarded ids to the apps behind them.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kelm {

// One forwarded toast.
struct NotificationItem {
  uint32_t id = 0;
  std::string appName;  // UTF-8; "Windows" when the app could not be read
  std::string title;    // UTF-8, the first text element
  std::string body;     // UTF-8, the further text elements joined by line feeds
  std::wstring appId;   // the app user model id, may be empty
};

// One toast as the listener gives it.
struct ToastRecord {
  uint32_t id = 0;
  std::wstring appId;        // what could be read of it
  std::string appName;       // UTF-8
  bool appInfoRead = false;  // every app-information call succeeded
  std::vector<std::string> texts;  // UTF-8 text elements of the generic binding, in order
};

// Tracks the toasts seen over the passes of one forwarding run.
class NotificationPass {
 public:
  // The item to forward for this toast of the current listing, if any.
  std::optional<NotificationItem> Consider(const ToastRecord& toast);
  // Ends a listing: forgets ids no longer listed and primes after the first pass.
  void Finish();
  void Clear();
  bool Primed() const { return primed_; }

 private:
  std::set<uint32_t> seen_;
  std::set<uint32_t> present_;
  bool primed_ = false;
};

// The item a toast becomes, or nothing for toasts of this system or without text.
std::optional<NotificationItem> BuildNotificationItem(const ToastRecord& toast);

// Forwarded id -> app user model id, keeping the entries with the largest ids.
class NotificationAppMap {
 public:
  static constexpr size_t kMaxEntries = 500;
  void Record(uint32_t id, const std::wstring& appId);
  std::wstring Find(uint32_t id) const;
  size_t Size() const { return map_.size(); }
  uint32_t SmallestId() const { return map_.empty() ? 0 : map_.begin()->first; }

 private:
  std::map<uint32_t, std::wstring> map_;
};

}  // namespace kelm
