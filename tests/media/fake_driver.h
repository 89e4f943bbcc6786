#pragma once
// A virtual display driver for tests: answers the five control requests as the driver
// is described, records every request, and notices any request on a handle that is
// closed, or a close while a request is still using the handle. Handle values are
// reused lowest-first, as Windows does.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "event_log.h"
#include "media/virtual_display_driver.h"

namespace kelm::test {

struct DriverCall {
  uint32_t code = 0;
  std::vector<uint8_t> in;
  size_t outSize = 0;
  HANDLE handle = nullptr;
  uint64_t atMs = 0;  // GetTickCount64 when it arrived
};

// What the fake answers an add with, and what it reports to the test.
struct FakeMonitor {
  uint32_t monitorId = 0;
  uint32_t width = 0, height = 0, refreshHz = 0, paramA = 0, paramB = 0;
  uint32_t targetId = 0;
  LUID adapter{};
};

class FakeDriver final : public DriverTransport {
 public:
  // Settings; change them before the driver client uses the fake.
  bool present = true;             // an interface is found
  DWORD openError = ERROR_SUCCESS;  // non-zero: opening the device fails
  uint32_t infoVersion = 1, infoMaxMonitors = 6, infoReserved = 0xABCD;
  size_t infoAnswerBytes = 12;
  size_t addAnswerBytes = 16;
  DWORD addError = ERROR_SUCCESS;
  LUID adapter{0x1234, 0x5};
  uint32_t nextTargetId = 0x100;   // targets handed out from here
  bool fixedTarget = false;        // every monitor gets `nextTargetId` (one real path)
  uint32_t requestDelayMs = 0;     // each request takes this long
  std::shared_ptr<EventLog> events;
  std::function<void(const FakeMonitor&)> onAdd;      // after a monitor is added
  std::function<void(uint32_t monitorId)> onRemove;   // after one is removed

  // Every monitor added answers with this adapter and target: the one real display
  // path, so the rest of the host finds "the new monitor" among Windows' active paths.
  void MapToPath(LUID pathAdapter, uint32_t targetId) {
    adapter = pathAdapter;
    nextTargetId = targetId;
    fixedTarget = true;
  }

  std::vector<DriverCall> Calls() const;
  size_t Count(uint32_t code) const;
  int Lookups() const { return lookups_.load(); }
  int Opens() const { return opens_.load(); }
  int Closes() const { return closes_.load(); }
  int Violations() const { return violations_.load(); }
  size_t DistinctHandles() const;
  size_t LiveHandles() const;
  std::vector<uint32_t> MonitorsAlive() const;

  std::wstring FindInterface() override;
  HANDLE OpenDevice(const std::wstring& path, DWORD& error) override;
  void CloseDevice(HANDLE device) override;
  DWORD Control(HANDLE device, uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                DWORD& returned) override;

 private:
  void Event(const std::string& text) {
    if (events) events->Add(text);
  }

  mutable std::mutex mutex_;
  std::vector<DriverCall> calls_;
  std::set<uintptr_t> live_;
  std::set<uintptr_t> everUsed_;
  std::map<uintptr_t, int> inFlight_;
  std::map<uint32_t, FakeMonitor> monitors_;
  uint32_t nextMonitorId_ = 1;
  std::atomic<int> lookups_{0}, opens_{0}, closes_{0}, violations_{0};
};

}  // namespace kelm::test
