#pragma once
// A toast source a test scripts: the access state, the current toasts, failures and a
// listing that never completes.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/toast_source.h"

namespace kelm::test {

class ScriptedToastSource : public ToastSource {
 public:
  std::atomic<NotificationAccess> access{NotificationAccess::Allowed};
  std::atomic<bool> hang{false};      // List waits for the stop event only
  std::atomic<int> failures{0};       // the next this many listings fail
  std::atomic<int> listings{0};       // completed listings

  void SetToasts(std::vector<ToastRecord> toasts) {
    std::lock_guard lock(mutex_);
    toasts_ = std::move(toasts);
  }
  void Add(ToastRecord toast) {
    std::lock_guard lock(mutex_);
    toasts_.push_back(std::move(toast));
  }
  // Waits until `n` more listings completed after the call.
  bool WaitListings(int n, int timeoutMs = 5000) {
    const int target = listings.load() + n;
    for (int waited = 0; waited < timeoutMs; waited += 5) {
      if (listings.load() >= target) return true;
      Sleep(5);
    }
    return false;
  }

  NotificationAccess CurrentAccess() override { return access.load(); }
  Listing List(HANDLE stop, std::vector<ToastRecord>& toasts, std::string& error) override {
    if (hang) {
      WaitForSingleObject(stop, INFINITE);
      return Listing::Stopped;
    }
    if (failures.load() > 0) {
      --failures;
      error = "0x80004005 scripted failure";
      return Listing::Failed;
    }
    {
      std::lock_guard lock(mutex_);
      toasts = toasts_;
    }
    ++listings;
    return Listing::Done;
  }

 private:
  std::mutex mutex_;
  std::vector<ToastRecord> toasts_;
};

inline ToastRecord Toast(uint32_t id, std::wstring appId, std::vector<std::string> texts,
                         std::string appName = "Test app", bool appInfoRead = true) {
  ToastRecord t;
  t.id = id;
  t.appId = std::move(appId);
  t.appName = std::move(appName);
  t.appInfoRead = appInfoRead;
  t.texts = std::move(texts);
  return t;
}

}  // namespace kelm::test
