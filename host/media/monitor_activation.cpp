// Waits for a new virtual monitor's target to show up among the active paths.
#include "media/monitor_activation.h"

#include <vector>

#include "core/log.h"
#include "media/display_config_api.h"
#include "media/display_enum.h"

namespace kelm {
namespace {

constexpr uint64_t kExtendAfterMs = 2500;
constexpr uint32_t kPollMs = 100;

}  // namespace

std::optional<std::wstring> FindActiveTarget(const LUID& adapter, uint32_t targetId) {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  if (!QueryActiveDisplayConfig(paths, modes)) return std::nullopt;
  for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
    const LUID& a = path.targetInfo.adapterId;
    if (a.LowPart != adapter.LowPart || a.HighPart != adapter.HighPart || path.targetInfo.id != targetId) continue;
    std::wstring name = GetSourceDeviceName(path.sourceInfo.adapterId, path.sourceInfo.id);
    if (!name.empty()) return name;
  }
  return std::nullopt;
}

std::optional<std::wstring> WaitForMonitorActive(const LUID& adapter, uint32_t targetId, uint32_t timeoutMs) {
  const auto api = DisplayApi();
  const uint64_t start = api->NowMs();
  bool extended = false;
  while (api->NowMs() - start < timeoutMs) {
    if (auto name = FindActiveTarget(adapter, targetId)) return name;
    if (!extended && api->NowMs() - start > kExtendAfterMs) {
      extended = true;
      LogInfo("Virtual monitor did not activate on its own; switching Windows to extended desktop");
      const LONG r = api->SetConfig({}, {}, SDC_TOPOLOGY_EXTEND | SDC_APPLY);
      if (r != ERROR_SUCCESS) LogWarn("SetDisplayConfig(EXTEND) failed: {}", r);
    }
    api->SleepMs(kPollMs);
  }
  return std::nullopt;
}

}  // namespace kelm
