#pragma once
// The Windows display-configuration calls the host makes, behind one replaceable object
// so that tests can run the display logic against a simulated set of monitors.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kelm {

class DisplayConfigApi {
 public:
  virtual ~DisplayConfigApi() = default;
  // GetDisplayConfigBufferSizes and QueryDisplayConfig, active paths only.
  virtual LONG GetBufferSizes(UINT32& pathCount, UINT32& modeCount) = 0;
  virtual LONG Query(UINT32& pathCount, DISPLAYCONFIG_PATH_INFO* paths, UINT32& modeCount,
                     DISPLAYCONFIG_MODE_INFO* modes) = 0;
  virtual LONG GetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) = 0;
  virtual LONG SetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) = 0;
  // SetDisplayConfig; empty spans pass no arrays.
  virtual LONG SetConfig(std::span<DISPLAYCONFIG_PATH_INFO> paths, std::span<DISPLAYCONFIG_MODE_INFO> modes,
                         UINT32 flags) = 0;
  // EnumDisplaySettingsExW with the current settings.
  virtual bool CurrentMode(const std::wstring& deviceName, DEVMODEW& mode) = 0;
  // ChangeDisplaySettingsExW; its result code.
  virtual LONG ChangeMode(const std::wstring& deviceName, DEVMODEW& mode, DWORD flags) = 0;
  // The clock and the pause of waits on the configuration.
  virtual uint64_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// The calls in use: Windows' own unless replaced.
std::shared_ptr<DisplayConfigApi> DisplayApi();
// Replaces them (nullptr: Windows' again).
void SetDisplayConfigApi(std::shared_ptr<DisplayConfigApi> api);

// The undocumented scale requests: steps relative to the recommended one, for the
// source of a path (adapter LUID and source id in the header).
inline constexpr auto kGetDpiScaleSteps = static_cast<DISPLAYCONFIG_DEVICE_INFO_TYPE>(-3);
inline constexpr auto kSetDpiScaleStep = static_cast<DISPLAYCONFIG_DEVICE_INFO_TYPE>(-4);
struct DpiScaleStepsRequest {
  DISPLAYCONFIG_DEVICE_INFO_HEADER header;
  INT32 minimum;
  INT32 current;
  INT32 maximum;
};
struct DpiScaleSetRequest {
  DISPLAYCONFIG_DEVICE_INFO_HEADER header;
  INT32 relative;
};
static_assert(sizeof(DpiScaleStepsRequest) == 32 && sizeof(DpiScaleSetRequest) == 24);

}  // namespace kelm
