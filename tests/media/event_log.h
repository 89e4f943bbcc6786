#pragma once
// One ordered list of what the test fakes were asked to do, shared between them so a
// test can check the order of steps across the driver and the display configuration.
#include <mutex>
#include <string>
#include <vector>

namespace kelm::test {

class EventLog {
 public:
  void Add(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }
  std::vector<std::string> Items() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // Position of the first event equal to `event`; -1 when absent.
  int IndexOf(const std::string& event) const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < events_.size(); ++i) {
      if (events_[i] == event) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> events_;
};

}  // namespace kelm::test
