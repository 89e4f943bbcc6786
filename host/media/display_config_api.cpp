// Windows' display-configuration calls, and the switch to a replacement.
#include "media/display_config_api.h"

#include <mutex>

namespace kelm {
namespace {

class WindowsDisplayConfigApi final : public DisplayConfigApi {
 public:
  LONG GetBufferSizes(UINT32& pathCount, UINT32& modeCount) override {
    return GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &pathCount, &modeCount);
  }
  LONG Query(UINT32& pathCount, DISPLAYCONFIG_PATH_INFO* paths, UINT32& modeCount,
             DISPLAYCONFIG_MODE_INFO* modes) override {
    return QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &pathCount, paths, &modeCount, modes, nullptr);
  }
  LONG GetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) override {
    return DisplayConfigGetDeviceInfo(&request);
  }
  LONG SetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) override {
    return DisplayConfigSetDeviceInfo(&request);
  }
  LONG SetConfig(std::span<DISPLAYCONFIG_PATH_INFO> paths, std::span<DISPLAYCONFIG_MODE_INFO> modes,
                 UINT32 flags) override {
    return SetDisplayConfig(static_cast<UINT32>(paths.size()), paths.empty() ? nullptr : paths.data(),
                            static_cast<UINT32>(modes.size()), modes.empty() ? nullptr : modes.data(), flags);
  }
  bool CurrentMode(const std::wstring& deviceName, DEVMODEW& mode) override {
    mode = DEVMODEW{};
    mode.dmSize = sizeof(mode);
    return EnumDisplaySettingsExW(deviceName.c_str(), ENUM_CURRENT_SETTINGS, &mode, 0) != FALSE;
  }
  LONG ChangeMode(const std::wstring& deviceName, DEVMODEW& mode, DWORD flags) override {
    return ChangeDisplaySettingsExW(deviceName.c_str(), &mode, nullptr, flags, nullptr);
  }
  uint64_t NowMs() override { return GetTickCount64(); }
  void SleepMs(uint32_t ms) override { Sleep(ms); }
};

struct ApiSlot {
  std::mutex mutex;
  std::shared_ptr<DisplayConfigApi> api;
};

ApiSlot& Slot() {
  static ApiSlot slot;
  return slot;
}

}  // namespace

std::shared_ptr<DisplayConfigApi> DisplayApi() {
  ApiSlot& s = Slot();
  std::lock_guard lock(s.mutex);
  if (!s.api) s.api = std::make_shared<WindowsDisplayConfigApi>();
  return s.api;
}

void SetDisplayConfigApi(std::shared_ptr<DisplayConfigApi> api) {
  ApiSlot& s = Slot();
  std::lock_guard lock(s.mutex);
  s.api = std::move(api);
}

}  // namespace kelm
