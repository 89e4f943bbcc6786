// The test driver: its answers are built here from the request layout, byte by byte.
#include "fake_driver.h"

#include <format>
#include <thread>

namespace kelm::test {
namespace {

constexpr uint32_t kQuery = 0x22E400, kAdd = 0x22E404, kRemove = 0x22E408, kRemoveAll = 0x22E40C,
                   kKeepAlive = 0x22E410;
constexpr uintptr_t kFirstHandle = 0x40;
constexpr uintptr_t kHandleStep = 4;

uint32_t U32(std::span<const uint8_t> b, size_t at) {
  return b[at] | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
void Put(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<DriverCall> FakeDriver::Calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

size_t FakeDriver::Count(uint32_t code) const {
  std::lock_guard lock(mutex_);
  size_t n = 0;
  for (const DriverCall& c : calls_) n += c.code == code ? 1 : 0;
  return n;
}

size_t FakeDriver::DistinctHandles() const {
  std::lock_guard lock(mutex_);
  return everUsed_.size();
}

size_t FakeDriver::LiveHandles() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

std::vector<uint32_t> FakeDriver::MonitorsAlive() const {
  std::lock_guard lock(mutex_);
  std::vector<uint32_t> ids;
  for (const auto& [id, m] : monitors_) ids.push_back(id);
  return ids;
}

std::wstring FakeDriver::FindInterface() {
  ++lookups_;
  return present ? L"\\\\?\\root#tavroidd#0000#{7a3f2c61-4b8e-4d2a-9c1e-5d7b3a9e0f42}" : L"";
}

HANDLE FakeDriver::OpenDevice(const std::wstring&, DWORD& error) {
  if (openError != ERROR_SUCCESS) {
    error = openError;
    return INVALID_HANDLE_VALUE;
  }
  std::lock_guard lock(mutex_);
  uintptr_t value = kFirstHandle;
  while (live_.count(value) != 0) value += kHandleStep;  // the lowest free value, as Windows reuses them
  live_.insert(value);
  everUsed_.insert(value);
  ++opens_;
  error = ERROR_SUCCESS;
  return reinterpret_cast<HANDLE>(value);
}

void FakeDriver::CloseDevice(HANDLE device) {
  const auto value = reinterpret_cast<uintptr_t>(device);
  std::lock_guard lock(mutex_);
  if (live_.erase(value) == 0) ++violations_;        // closed twice, or never opened
  if (inFlight_[value] > 0) ++violations_;           // a request is still using it
  ++closes_;
}

DWORD FakeDriver::Control(HANDLE device, uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                          DWORD& returned) {
  const auto value = reinterpret_cast<uintptr_t>(device);
  returned = 0;
  {
    std::lock_guard lock(mutex_);
    if (live_.count(value) == 0) {
      ++violations_;
      return ERROR_INVALID_HANDLE;
    }
    ++inFlight_[value];
    calls_.push_back({code, std::vector<uint8_t>(in.begin(), in.end()), out.size(), device, GetTickCount64()});
  }
  if (requestDelayMs != 0) std::this_thread::sleep_for(std::chrono::milliseconds(requestDelayMs));

  DWORD result = ERROR_SUCCESS;
  std::vector<uint8_t> answer;
  std::optional<FakeMonitor> added;
  std::optional<uint32_t> removed;
  {
    std::lock_guard lock(mutex_);
    --inFlight_[value];
    switch (code) {
      case kQuery:
        if (!in.empty() || out.size() < 12) {
          result = ERROR_INVALID_PARAMETER;
          break;
        }
        Put(answer, infoVersion);
        Put(answer, infoMaxMonitors);
        Put(answer, infoReserved);
        answer.resize(infoAnswerBytes);
        break;
      case kAdd: {
        if (in.size() != 24 || U32(in, 0) != 24 || out.size() < 16) {
          result = ERROR_INVALID_PARAMETER;
          break;
        }
        if (addError != ERROR_SUCCESS) {
          result = addError;
          break;
        }
        FakeMonitor m;
        m.monitorId = nextMonitorId_++;
        m.width = U32(in, 4);
        m.height = U32(in, 8);
        m.refreshHz = U32(in, 12);
        m.paramA = U32(in, 16);
        m.paramB = U32(in, 20);
        m.targetId = fixedTarget ? nextTargetId : nextTargetId++;
        m.adapter = adapter;
        monitors_[m.monitorId] = m;
        Put(answer, m.monitorId);
        Put(answer, m.targetId);
        Put(answer, m.adapter.LowPart);
        Put(answer, static_cast<uint32_t>(m.adapter.HighPart));
        answer.resize(addAnswerBytes);
        added = m;
        break;
      }
      case kRemove:
        if (in.size() != 4 || !out.empty()) {
          result = ERROR_INVALID_PARAMETER;
        } else if (monitors_.erase(U32(in, 0)) == 0) {
          result = ERROR_NOT_FOUND;
        } else {
          removed = U32(in, 0);
        }
        break;
      case kRemoveAll:
        if (!in.empty() || !out.empty()) {
          result = ERROR_INVALID_PARAMETER;
        } else {
          monitors_.clear();
        }
        break;
      case kKeepAlive:
        if (!in.empty() || !out.empty()) result = ERROR_INVALID_PARAMETER;
        break;
      default:
        result = ERROR_INVALID_FUNCTION;
    }
  }
  if (result == ERROR_SUCCESS) {
    std::copy(answer.begin(), answer.end(), out.begin());
    returned = static_cast<DWORD>(answer.size());
  }
  if (added) {
    Event(std::format("driver add {}", added->monitorId));
    if (onAdd) onAdd(*added);
  }
  if (removed) {
    Event(std::format("driver remove {}", *removed));
    if (onRemove) onRemove(*removed);
  }
  if (code == kRemoveAll && result == ERROR_SUCCESS) Event("driver remove all");
  return result;
}

}  // namespace kelm::test
