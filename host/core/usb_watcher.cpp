#include "core/usb_watcher.h"

#include <format>
#include <utility>

#include "core/adb_devices.h"
#include "core/adb_runner.h"
#include "core/find_adb.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/utf8.h"

namespace kelm {

bool UsbWatcher::Start(std::wstring adbPath, uint16_t port) {
  // Replacing a running thread would end the process; stop it first.
  if (thread_.joinable()) {
    Stop();
  }
  adbPath_ = ResolveAdbPath(adbPath, ExecutableDir());
  if (adbPath_.empty()) {
    return false;
  }
  port_ = port;
  stop_.store(false);
  known_.clear();
  wake_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!wake_) {
    return false;
  }
  active_.store(true);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void UsbWatcher::Stop() {
  stop_.store(true);
  if (wake_) {
    SetEvent(wake_.Get());
  }
  if (thread_.joinable()) {
    thread_.join();
  }
  active_.store(false);
}

void UsbWatcher::Run() {
  LogInfo("USB: using {}", WideToUtf8(adbPath_));
  for (;;) {
    if (!Pass()) {
      return;
    }
    const DWORD woke = WaitForSingleObject(wake_.Get(), timing_.pollMs);
    if (woke != WAIT_TIMEOUT || Stopping()) {
      return;
    }
  }
}

bool UsbWatcher::Pass() {
  std::string output;
  const int32_t listed = RunAdb(adbPath_, L"devices", output, timing_.adbTimeoutMs, wake_.Get());
  if (Stopping()) {
    return false;
  }
  // A failed listing says nothing about the devices: none counts as gone.
  if (listed != 0) {
    return true;
  }
  std::set<std::string> present;
  for (const AdbDeviceLine& line : ParseAdbDevices(output)) {
    if (line.state == "unauthorized") {
      if (known_.insert("!" + line.serial).second) {
        LogWarn("USB: device {} is unauthorized - accept the USB debugging prompt on the tablet",
                SanitizeForLog(line.serial));
      }
      continue;
    }
    if (line.state != "device") {
      continue;
    }
    if (!IsValidAdbSerial(line.serial)) {
      if (known_.insert("?" + line.serial).second) {
        LogWarn("USB: ignoring a device with an unusual serial");
      }
      continue;
    }
    present.insert(line.serial);
    if (known_.contains(line.serial)) {
      continue;
    }
    const std::wstring args =
        Utf8ToWide(std::format("-s {} reverse tcp:{} tcp:{}", line.serial, port_, port_));
    std::string reply;
    const int32_t reversed = RunAdb(adbPath_, args, reply, timing_.adbTimeoutMs, wake_.Get());
    if (Stopping()) {
      return false;
    }
    if (reversed == 0) {
      LogInfo("USB: device {} connected (adb reverse tcp:{})", line.serial, port_);
      known_.insert(line.serial);
    } else {
      LogWarn("USB: adb reverse failed for {}: {}", line.serial, SanitizeForLog(reply));
    }
  }
  for (auto it = known_.begin(); it != known_.end();) {
    const std::string& entry = *it;
    if (entry.starts_with('!') || entry.starts_with('?') || present.contains(entry)) {
      ++it;
      continue;
    }
    LogInfo("USB: device {} disconnected", entry);
    it = known_.erase(it);
  }
  return true;
}

}  // namespace kelm
