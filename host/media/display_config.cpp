// Display scale and exclusive-display changes, counted across sessions and recorded
// in the registry for crash recovery.
#include "media/display_config.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <span>

#include "core/log.h"
#include "core/registry_key.h"
#include "core/registry_values.h"
#include "core/win_handle.h"
#include "core/text.h"
#include "media/display_config_api.h"

namespace kelm {
namespace {

constexpr UINT32 kApplySupplied = SDC_APPLY | SDC_USE_SUPPLIED_DISPLAY_CONFIG | SDC_ALLOW_CHANGES;
constexpr UINT32 kApplyExtend = SDC_TOPOLOGY_EXTEND | SDC_APPLY;

struct DisplayState {
  std::mutex mutex;
  uint32_t exclusiveCount = 0;
  std::vector<DISPLAYCONFIG_PATH_INFO> savedPaths;
  std::vector<DISPLAYCONFIG_MODE_INFO> savedModes;
  SavedScaleMap scales;
};

DisplayState& State() {
  static DisplayState state;
  return state;
}

// One active path with the names that identify it.
struct FoundDisplay {
  DISPLAYCONFIG_PATH_INFO path{};
  std::wstring gdiName;
  std::wstring monitorPath;
};

std::optional<FoundDisplay> FindDisplay(bool byGdiName, const std::wstring& wanted) {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  if (!QueryActiveDisplayConfig(paths, modes)) return std::nullopt;
  for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
    FoundDisplay d;
    d.path = path;
    d.gdiName = GetSourceDeviceName(path.sourceInfo.adapterId, path.sourceInfo.id);
    DISPLAYCONFIG_TARGET_DEVICE_NAME target;
    if (GetTargetName(path, target)) d.monitorPath = target.monitorDevicePath;
    const std::wstring& key = byGdiName ? d.gdiName : d.monitorPath;
    if (!key.empty() && SameDeviceName(key, wanted)) return d;
  }
  return std::nullopt;
}

std::optional<FoundDisplay> FindDisplayByGdiName(const std::wstring& name) { return FindDisplay(true, name); }
std::optional<FoundDisplay> FindDisplayByMonitorPath(const std::wstring& path) { return FindDisplay(false, path); }

// The scale steps of a path's source; nothing when unanswered or unusable.
std::optional<RelativeScaleSteps> ReadScaleSteps(const DISPLAYCONFIG_PATH_INFO& path) {
  DpiScaleStepsRequest request{};
  request.header.type = kGetDpiScaleSteps;
  request.header.size = sizeof(request);
  request.header.adapterId = path.sourceInfo.adapterId;
  request.header.id = path.sourceInfo.id;
  if (DisplayApi()->GetDeviceInfo(request.header) != ERROR_SUCCESS) return std::nullopt;
  const RelativeScaleSteps steps{request.minimum, request.current, request.maximum};
  if (!UsableScaleSteps(steps)) return std::nullopt;
  return steps;
}

bool SetScaleOf(const FoundDisplay& d, int32_t percent) {
  const auto steps = ReadScaleSteps(d.path);
  if (!steps) return false;
  const int32_t target = TargetRelativeStep(percent, *steps);
  if (target == steps->current) return true;
  DpiScaleSetRequest request{};
  request.header.type = kSetDpiScaleStep;
  request.header.size = sizeof(request);
  request.header.adapterId = d.path.sourceInfo.adapterId;
  request.header.id = d.path.sourceInfo.id;
  request.relative = target;
  const LONG r = DisplayApi()->SetDeviceInfo(request.header);
  if (r != ERROR_SUCCESS) {
    LogWarn("Setting the scale of {} failed: {}", WideToUtf8(d.gdiName), r);
    return false;
  }
  LogInfo("Scale of {} set to {}%", WideToUtf8(d.gdiName),
          ScaleStepPercent(int64_t{target} + RecommendedStepIndex(*steps)));
  return true;
}

// Registry records. Failures are ignored: the change is still made, only without the
// record that would undo it after a crash.
void WriteRegistryValue(const wchar_t* name, DWORD type, const void* data, size_t bytes) {
  WriteRegValue(CreateRegKey(HKEY_CURRENT_USER, TavroRegistryKey(), KEY_SET_VALUE), name, type,
                std::span(static_cast<const uint8_t*>(data), bytes));
}

void DeleteRegistryValue(const wchar_t* name) {
  RegDeleteKeyValueW(HKEY_CURRENT_USER, TavroRegistryKey().c_str(), name);
}

void WriteSavedScalesLocked(const SavedScaleMap& scales) {
  if (scales.empty()) {
    DeleteRegistryValue(kSavedDisplayScalesValue);
    return;
  }
  const std::vector<wchar_t> chars = FormatSavedScales(scales);
  WriteRegistryValue(kSavedDisplayScalesValue, REG_MULTI_SZ, chars.data(), chars.size() * sizeof(wchar_t));
}

void ReleaseScaleLocked(DisplayState& s, std::wstring& heldPath) {
  if (heldPath.empty()) return;
  // A path this process never remembered is left alone: no entry is made for it.
  if (const auto it = s.scales.find(heldPath); it != s.scales.end()) {
    if (--it->second.holders < 1) {
      if (const auto d = FindDisplayByMonitorPath(heldPath)) SetScaleOf(*d, it->second.previousPercent);
      s.scales.erase(it);
      WriteSavedScalesLocked(s.scales);
    }
  }
  heldPath.clear();
}

bool ValidModeIndex(UINT32 index, size_t count) {
  return index != DISPLAYCONFIG_PATH_MODE_IDX_INVALID && index < count;
}

// Keeps only the virtual monitors' paths, the first of them moved to (0,0).
bool ApplyExclusiveDisplays() {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  if (!QueryActiveDisplayConfig(paths, modes)) return false;
  std::vector<DISPLAYCONFIG_PATH_INFO> kept;
  for (const DISPLAYCONFIG_PATH_INFO& path : paths) {
    if (IsVirtualTarget(path)) kept.push_back(path);
  }
  if (kept.empty()) return false;
  if (kept.size() == paths.size()) return true;

  std::vector<DISPLAYCONFIG_MODE_INFO> newModes;
  std::map<UINT32, UINT32> moved;  // old mode index -> new one; clones share a source mode
  auto take = [&](UINT32 index) -> UINT32 {
    if (!ValidModeIndex(index, modes.size())) return DISPLAYCONFIG_PATH_MODE_IDX_INVALID;
    const auto [it, added] = moved.try_emplace(index, static_cast<UINT32>(newModes.size()));
    if (added) newModes.push_back(modes[index]);
    return it->second;
  };
  for (DISPLAYCONFIG_PATH_INFO& path : kept) {
    path.sourceInfo.modeInfoIdx = take(path.sourceInfo.modeInfoIdx);
    path.targetInfo.modeInfoIdx = take(path.targetInfo.modeInfoIdx);
  }
  const auto firstSource = std::find_if(newModes.begin(), newModes.end(), [](const DISPLAYCONFIG_MODE_INFO& m) {
    return m.infoType == DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE;
  });
  if (firstSource != newModes.end()) {
    const POINTL origin = firstSource->sourceMode.position;
    for (DISPLAYCONFIG_MODE_INFO& m : newModes) {
      if (m.infoType != DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE) continue;
      m.sourceMode.position.x -= origin.x;
      m.sourceMode.position.y -= origin.y;
    }
  }
  const LONG r = DisplayApi()->SetConfig(kept, newModes, kApplySupplied);
  if (r != ERROR_SUCCESS) {
    LogWarn("Switching to tavro-only displays failed: {}", r);
    return false;
  }
  LogInfo("Using only tavro displays (the PC's own screens are off)");
  return true;
}

// "SavedDisplayScales" as characters, bounded by the size the registry reports;
// nothing with `problem` set when it exists but cannot be used.
std::optional<std::vector<wchar_t>> ReadSavedScalesValue(const RegKey& key, std::string& problem) {
  RegValue value;
  const LSTATUS r = ReadRegValue(key, kSavedDisplayScalesValue, kMaxSavedScalesBytes, value);
  if (r == ERROR_FILE_NOT_FOUND) return std::nullopt;
  if (r != ERROR_SUCCESS) {
    problem = Win32ErrorText(static_cast<DWORD>(r));
    return std::nullopt;
  }
  if (value.type != REG_MULTI_SZ) {
    problem = "not a list of strings";
    return std::nullopt;
  }
  if (value.size > kMaxSavedScalesBytes) {
    problem = std::to_string(value.size) + " bytes";
    return std::nullopt;
  }
  return RegValueChars(value);
}

}  // namespace

int CountVirtualDisplays() {
  std::vector<DISPLAYCONFIG_PATH_INFO> paths;
  std::vector<DISPLAYCONFIG_MODE_INFO> modes;
  if (!QueryActiveDisplayConfig(paths, modes)) return 0;
  return static_cast<int>(std::count_if(paths.begin(), paths.end(), IsVirtualTarget));
}

std::optional<DisplayScaleInfo> GetDisplayScaleInfo(const std::wstring& gdiName) {
  const auto d = FindDisplayByGdiName(gdiName);
  if (!d) return std::nullopt;
  const auto steps = ReadScaleSteps(d->path);
  if (!steps) return std::nullopt;
  return ScaleInfoFromSteps(*steps);
}

bool SetDisplayScale(const std::wstring& gdiName, int32_t percent) {
  const auto d = FindDisplayByGdiName(gdiName);
  return d && SetScaleOf(*d, percent);
}

void ChangeDisplayScale(std::wstring& heldPath, const std::wstring& gdiName, int32_t percent) {
  const auto d = FindDisplayByGdiName(gdiName);
  // A display without a monitor path could not be found again to restore it.
  if (!d || d->monitorPath.empty()) return;
  DisplayState& s = State();
  if (!heldPath.empty() && heldPath != d->monitorPath) {
    std::lock_guard lock(s.mutex);
    ReleaseScaleLocked(s, heldPath);
  }
  if (heldPath != d->monitorPath) {
    const auto again = FindDisplayByGdiName(gdiName);
    if (!again || again->monitorPath.empty()) return;
    const auto steps = ReadScaleSteps(again->path);
    if (!steps) return;
    std::lock_guard lock(s.mutex);
    SavedScale& saved = s.scales[again->monitorPath];
    if (saved.holders++ == 0) saved.previousPercent = static_cast<int32_t>(ScaleInfoFromSteps(*steps).currentPercent);
    WriteSavedScalesLocked(s.scales);
    heldPath = again->monitorPath;
  }
  SetDisplayScale(gdiName, percent);
}

void RestoreDisplayScale(std::wstring& heldPath) {
  if (heldPath.empty()) return;
  DisplayState& s = State();
  std::lock_guard lock(s.mutex);
  ReleaseScaleLocked(s, heldPath);
}

bool EnterExclusiveDisplays() {
  DisplayState& s = State();
  std::lock_guard lock(s.mutex);
  if (s.exclusiveCount == 0) {
    if (!QueryActiveDisplayConfig(s.savedPaths, s.savedModes)) return false;
    const DWORD on = 1;
    WriteRegistryValue(kExclusiveDisplaysValue, REG_DWORD, &on, sizeof(on));
  }
  if (ApplyExclusiveDisplays()) {
    ++s.exclusiveCount;
    return true;
  }
  if (s.exclusiveCount == 0) {
    s.savedPaths.clear();
    s.savedModes.clear();
    DeleteRegistryValue(kExclusiveDisplaysValue);
  }
  return false;
}

void LeaveExclusiveDisplays() {
  DisplayState& s = State();
  std::lock_guard lock(s.mutex);
  if (s.exclusiveCount == 0) return;
  if (--s.exclusiveCount > 0) return;
  const auto api = DisplayApi();
  const int before = CountVirtualDisplays();
  const LONG restored = api->SetConfig(s.savedPaths, s.savedModes, kApplySupplied);
  LONG extended = ERROR_SUCCESS;
  // A virtual monitor added while the screens were off is not in the saved set; extend
  // rather than lose it.
  if (restored != ERROR_SUCCESS || CountVirtualDisplays() < before) extended = api->SetConfig({}, {}, kApplyExtend);
  LogInfo("The PC's own screens are back on{}",
          extended == ERROR_SUCCESS ? std::string() : " (error " + std::to_string(extended) + ")");
  s.savedPaths.clear();
  s.savedModes.clear();
  DeleteRegistryValue(kExclusiveDisplaysValue);
}

void RestoreDisplaysAfterCrash() {
  const RegKey key = OpenRegKey(HKEY_CURRENT_USER, TavroRegistryKey(), KEY_QUERY_VALUE | KEY_SET_VALUE);
  if (!key) return;
  RegValue value;
  const LSTATUS r = ReadRegValue(key, kExclusiveDisplaysValue, sizeof(DWORD), value);
  if (r != ERROR_FILE_NOT_FOUND) {
    DWORD exclusive = 0;
    if (value.bytes.size() == sizeof(exclusive)) std::memcpy(&exclusive, value.bytes.data(), sizeof(exclusive));
    if (r == ERROR_SUCCESS && value.type == REG_DWORD && value.size == sizeof(exclusive) && exclusive != 0) {
      LogInfo("Turning the PC's screens back on after an unexpected exit");
      DisplayApi()->SetConfig({}, {}, kApplyExtend);
    }
    DeleteRegValue(key, kExclusiveDisplaysValue);
  }

  std::string problem;
  const auto chars = ReadSavedScalesValue(key, problem);
  if (chars) {
    for (const SavedScaleEntry& entry : ParseSavedScales(*chars)) {
      const auto d = FindDisplayByMonitorPath(entry.monitorPath);
      if (!d) continue;
      SetScaleOf(*d, entry.percent);
      LogInfo("Restored the scale of {} after an unexpected exit", WideToUtf8(d->gdiName));
    }
  } else if (!problem.empty()) {
    LogWarn("Dropping the saved display scales, which cannot be read ({})", problem);
  }
  // Every attempt ends the value, so a bad one is not met again at every start.
  if (chars || !problem.empty()) RegDeleteValueW(key.Get(), kSavedDisplayScalesValue);
}

}  // namespace kelm
