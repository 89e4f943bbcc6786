#pragma once
// Sole owners of a device information list and a device registry key opened through
// the tool's SetupCalls, released through the same calls.
#include <utility>

#include "devctl/setup_calls.h"

namespace kelm::devctl {

class DeviceInfoList {
 public:
  DeviceInfoList(SetupCalls& calls, HDEVINFO list) : calls_(calls), list_(list) {}
  ~DeviceInfoList() {
    if (*this) calls_.DestroyDeviceInfoList(list_);
  }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;

  HDEVINFO Get() const { return list_; }
  explicit operator bool() const { return list_ != nullptr && list_ != INVALID_HANDLE_VALUE; }

 private:
  SetupCalls& calls_;
  HDEVINFO list_;
};

class DeviceKey {
 public:
  DeviceKey(SetupCalls& calls, HKEY key) : calls_(calls), key_(key) {}
  ~DeviceKey() {
    if (*this) calls_.CloseKey(key_);
  }
  DeviceKey(const DeviceKey&) = delete;
  DeviceKey& operator=(const DeviceKey&) = delete;

  HKEY Get() const { return key_; }
  explicit operator bool() const { return key_ != nullptr && key_ != static_cast<HKEY>(INVALID_HANDLE_VALUE); }

 private:
  SetupCalls& calls_;
  HKEY key_;
};

}  // namespace kelm::devctl
