#pragma once
// Sole owners of a device information list and a device registry key opened through
// the tool's SetupCalls, released through the same calls.
#include "devctl/setup_calls.h"

namespace kelm::devctl {

// Owns `handle` unless it is null or INVALID_HANDLE_VALUE; releases it with `Release`.
template <typename Handle, auto Release>
class SeamHandle {
 public:
  SeamHandle(SetupCalls& calls, Handle handle) : calls_(calls), handle_(handle) {}
  ~SeamHandle() {
    if (*this) (calls_.*Release)(handle_);
  }
  SeamHandle(const SeamHandle&) = delete;
  SeamHandle& operator=(const SeamHandle&) = delete;

  Handle Get() const { return handle_; }
  explicit operator bool() const {
    return handle_ != nullptr && handle_ != reinterpret_cast<Handle>(INVALID_HANDLE_VALUE);
  }

 private:
  SetupCalls& calls_;
  Handle handle_;
};

using DeviceInfoList = SeamHandle<HDEVINFO, &SetupCalls::DestroyDeviceInfoList>;
using DeviceKey = SeamHandle<HKEY, &SetupCalls::CloseKey>;

}  // namespace kelm::devctl
