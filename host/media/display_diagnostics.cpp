// tavro --list-displays and --remove-monitors.
#include "media/display_diagnostics.h"

#include <cstdio>
#include <vector>

#include "media/console_diagnostics.h"
#include "core/log.h"
#include "core/text.h"
#include "media/display_config.h"
#include "media/virtual_display_driver.h"

namespace kelm {

std::string DisplayListLine(size_t index, const DisplayInfo& d, const std::optional<DisplayScaleInfo>& scale) {
  const DisplayScaleInfo s = scale.value_or(DisplayScaleInfo{});
  const std::string device = WideToUtf8(d.deviceName);
  const std::string monitor = WideToUtf8(d.monitorName);
  auto print = [&](char* buffer, size_t size) {
    return std::snprintf(buffer, size,
                         "%zu: %s  %s  %ldx%ld at (%ld,%ld)  scale %d%% (recommended %d%%, max %d%%)%s%s\n", index,
                         device.c_str(), monitor.c_str(), d.rect.right - d.rect.left, d.rect.bottom - d.rect.top,
                         d.rect.left, d.rect.top, static_cast<int>(s.currentPercent),
                         static_cast<int>(s.recommendedPercent), static_cast<int>(s.maximumPercent),
                         d.primary ? "  [primary]" : "", d.isVirtual ? "  [tavro]" : "");
  };
  const int needed = print(nullptr, 0);
  if (needed < 0) return {};
  std::string line(static_cast<size_t>(needed) + 1, '\0');
  print(line.data(), line.size());
  line.resize(static_cast<size_t>(needed));
  return line;
}

int ListDisplays() {
  const std::vector<DisplayInfo> displays = EnumerateDisplays();
  for (size_t i = 0; i < displays.size(); ++i) {
    const std::string line = DisplayListLine(i, displays[i], GetDisplayScaleInfo(displays[i].deviceName));
    std::fputs(line.c_str(), stdout);
  }
  std::fflush(stdout);
  return 0;
}

int RemoveMonitorsWith(VirtualDisplayDriver& driver) {
  if (!driver.Open()) {
    LogError("Display driver not found");
    return 1;
  }
  driver.RemoveAllMonitors();  // the driver's answer does not change what is said
  LogInfo("All tavro virtual monitors removed");
  driver.Close();
  return 0;
}

int RemoveMonitors() {
  VirtualDisplayDriver driver;
  return RemoveMonitorsWith(driver);
}

}  // namespace kelm
