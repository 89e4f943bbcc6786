#pragma once
// The connection to the virtual display driver: finding its device interface, its five
// control requests, and the heartbeat that keeps its monitors alive.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "core/win_handle.h"
#include "media/driver_protocol.h"

namespace kelm {

// How the client reaches the driver: the device interface and DeviceIoControl unless a
// test gives another.
class DriverTransport {
 public:
  virtual ~DriverTransport() = default;
  // The device path of the first present driver interface; empty when there is none.
  virtual std::wstring FindInterface() = 0;
  // Opens the device; INVALID_HANDLE_VALUE with the Win32 error in `error` on failure.
  virtual HANDLE OpenDevice(const std::wstring& path, DWORD& error) = 0;
  virtual void CloseDevice(HANDLE device) = 0;
  // One buffered request; ERROR_SUCCESS or the Win32 error. `returned` counts the bytes
  // the driver wrote to `out`.
  virtual DWORD Control(HANDLE device, uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                        DWORD& returned) = 0;
};

// The driver's device interface class.
inline constexpr GUID kDriverInterfaceGuid = {0x7A3F2C61, 0x4B8E, 0x4D2A, {0x9C, 0x1E, 0x5D, 0x7B, 0x3A, 0x9E, 0x0F, 0x42}};

// SetupAPI's path of the first present driver interface; empty on any failure.
std::wstring FindDriverInterface();

class VirtualDisplayDriver {
 public:
  VirtualDisplayDriver();  // through SetupAPI and DeviceIoControl
  explicit VirtualDisplayDriver(std::shared_ptr<DriverTransport> transport);
  ~VirtualDisplayDriver();
  VirtualDisplayDriver(const VirtualDisplayDriver&) = delete;
  VirtualDisplayDriver& operator=(const VirtualDisplayDriver&) = delete;

  // True at once when open. Without a driver interface false, silently; a device that
  // does not open is a WARN. Starts the heartbeat.
  bool Open();
  // Ends the heartbeat and lets go of the device; requests still running finish on it
  // first. Harmless when closed; never from the heartbeat thread.
  void Close();
  bool IsOpen() const;

  // Present only when the driver answers all 12 bytes.
  std::optional<DriverInfo> QueryInfo();
  // Present only when the driver answers all 16 bytes; otherwise an ERROR line.
  std::optional<AddMonitorResult> AddMonitor(const AddMonitorRequest& request);
  bool RemoveMonitor(uint32_t monitorId);
  bool RemoveAllMonitors();

 private:
  class Device;

  // The open device, held for the length of one request.
  std::shared_ptr<Device> CurrentDevice() const;
  DWORD Request(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out, DWORD& returned);
  void HeartbeatThread(HANDLE stopEvent);

  std::shared_ptr<DriverTransport> transport_;
  std::mutex lifeMutex_;      // one Open or Close at a time
  mutable std::mutex mutex_;  // guards device_ only
  std::shared_ptr<Device> device_;
  std::thread heartbeat_;
  WinHandle stopEvent_;
};

}  // namespace kelm
