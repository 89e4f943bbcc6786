// The virtual display driver client: device interface lookup, requests and heartbeat.
#include "media/virtual_display_driver.h"

#include <setupapi.h>

#include <array>
#include <vector>

#include "core/log.h"
#include "core/text.h"

namespace kelm {
namespace {

constexpr DWORD kHeartbeatMs = 2000;

class WindowsDriverTransport final : public DriverTransport {
 public:
  std::wstring FindInterface() override { return FindDriverInterface(); }
  HANDLE OpenDevice(const std::wstring& path, DWORD& error) override {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return h;
  }
  void CloseDevice(HANDLE device) override { CloseHandle(device); }
  DWORD Control(HANDLE device, uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                DWORD& returned) override {
    returned = 0;
    const BOOL ok = DeviceIoControl(device, code, in.empty() ? nullptr : const_cast<uint8_t*>(in.data()),
                                    static_cast<DWORD>(in.size()), out.empty() ? nullptr : out.data(),
                                    static_cast<DWORD>(out.size()), &returned, nullptr);
    return ok ? ERROR_SUCCESS : GetLastError();
  }
};

// SetupAPI's device-information list, destroyed on every path.
class DeviceInfoList {
 public:
  explicit DeviceInfoList(HDEVINFO set) : set_(set) {}
  ~DeviceInfoList() {
    if (valid()) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoList(const DeviceInfoList&) = delete;
  DeviceInfoList& operator=(const DeviceInfoList&) = delete;
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  HDEVINFO set_;
};

}  // namespace

// The open device handle; closed when Close has let go of it and the last request
// using it has ended, so no request ever reaches a closed or reused handle.
class VirtualDisplayDriver::Device {
 public:
  Device(std::shared_ptr<DriverTransport> transport, HANDLE handle)
      : transport_(std::move(transport)), handle_(handle) {}
  ~Device() { transport_->CloseDevice(handle_); }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  HANDLE handle() const { return handle_; }

 private:
  std::shared_ptr<DriverTransport> transport_;
  HANDLE handle_;
};

std::wstring FindDriverInterface() {
  GUID guid = kDriverInterfaceGuid;
  DeviceInfoList list(SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!list.valid()) return {};
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof(data);
  if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &guid, 0, &data)) return {};
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailW(list.get(), &data, nullptr, 0, &required, nullptr);
  if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return {};
  // Zeroed, and aligned for the structure.
  std::vector<uint64_t> buffer((required + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  if (!SetupDiGetDeviceInterfaceDetailW(list.get(), &data, detail, required, nullptr, nullptr)) return {};
  const size_t maxChars = (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(wchar_t);
  const wchar_t* path = detail->DevicePath;
  size_t length = 0;
  while (length < maxChars && path[length] != L'\0') ++length;
  return std::wstring(path, length);
}

VirtualDisplayDriver::VirtualDisplayDriver() : VirtualDisplayDriver(std::make_shared<WindowsDriverTransport>()) {}

VirtualDisplayDriver::VirtualDisplayDriver(std::shared_ptr<DriverTransport> transport)
    : transport_(std::move(transport)) {}

VirtualDisplayDriver::~VirtualDisplayDriver() { Close(); }

bool VirtualDisplayDriver::Open() {
  std::lock_guard life(lifeMutex_);
  if (IsOpen()) return true;
  const std::wstring path = transport_->FindInterface();
  if (path.empty()) return false;
  DWORD error = ERROR_SUCCESS;
  const HANDLE handle = transport_->OpenDevice(path, error);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    LogWarn("Opening the tavro driver failed: {}", Win32ErrorText(error));
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    device_ = std::make_shared<Device>(transport_, handle);
  }
  // Close joined the previous heartbeat, so none can still be waiting on the old event.
  stopEvent_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (stopEvent_) heartbeat_ = std::thread([this, stop = stopEvent_.Get()] { HeartbeatThread(stop); });
  return true;
}

void VirtualDisplayDriver::Close() {
  std::lock_guard life(lifeMutex_);
  if (stopEvent_) SetEvent(stopEvent_.Get());
  if (heartbeat_.joinable()) heartbeat_.join();
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(mutex_);
    device.swap(device_);
  }
  // The handle closes here, or when the last request still using it ends.
}

bool VirtualDisplayDriver::IsOpen() const {
  std::lock_guard lock(mutex_);
  return device_ != nullptr;
}

std::shared_ptr<VirtualDisplayDriver::Device> VirtualDisplayDriver::CurrentDevice() const {
  std::lock_guard lock(mutex_);
  return device_;
}

DWORD VirtualDisplayDriver::Request(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                                    DWORD& returned) {
  returned = 0;
  const std::shared_ptr<Device> device = CurrentDevice();
  if (!device) return ERROR_INVALID_HANDLE;
  // Sent outside the lock, so a slow request never holds up Open, Close or the heartbeat.
  return transport_->Control(device->handle(), code, in, out, returned);
}

std::optional<DriverInfo> VirtualDisplayDriver::QueryInfo() {
  std::array<uint8_t, kDriverInfoSize> answer{};
  DWORD returned = 0;
  if (Request(kDriverQueryInfo, {}, answer, returned) != ERROR_SUCCESS) return std::nullopt;
  return DecodeDriverInfo(std::span<const uint8_t>(answer).first(std::min<size_t>(returned, answer.size())));
}

std::optional<AddMonitorResult> VirtualDisplayDriver::AddMonitor(const AddMonitorRequest& request) {
  const auto in = EncodeAddMonitorRequest(request);
  std::array<uint8_t, kAddMonitorResultSize> answer{};
  DWORD returned = 0;
  DWORD error = Request(kDriverAddMonitor, in, answer, returned);
  std::optional<AddMonitorResult> result;
  if (error == ERROR_SUCCESS) {
    result = DecodeAddMonitorResult(std::span<const uint8_t>(answer).first(std::min<size_t>(returned, answer.size())));
    // A short answer is a refusal too; say so rather than "completed successfully".
    if (!result) error = ERROR_INVALID_DATA;
  }
  if (!result) {
    LogError("Driver refused to add a {}x{}@{} monitor: {}", request.width, request.height, request.refreshHz,
             Win32ErrorText(error));
  }
  return result;
}

bool VirtualDisplayDriver::RemoveMonitor(uint32_t monitorId) {
  const auto in = EncodeRemoveMonitorRequest(monitorId);
  DWORD returned = 0;
  return Request(kDriverRemoveMonitor, in, {}, returned) == ERROR_SUCCESS;
}

bool VirtualDisplayDriver::RemoveAllMonitors() {
  DWORD returned = 0;
  return Request(kDriverRemoveAllMonitors, {}, {}, returned) == ERROR_SUCCESS;
}

void VirtualDisplayDriver::HeartbeatThread(HANDLE stopEvent) {
  while (WaitForSingleObject(stopEvent, kHeartbeatMs) == WAIT_TIMEOUT) {
    DWORD returned = 0;
    Request(kDriverKeepAlive, {}, {}, returned);  // the driver's answer does not matter
  }
}

}  // namespace kelm
