// The simulated display configuration: paths and modes built from the monitor list.
#include "simulated_displays.h"

#include <algorithm>
#include <cwchar>
#include <format>
#include <functional>

#include "core/text.h"

namespace kelm::test {
namespace {

constexpr auto kGetSteps = static_cast<DISPLAYCONFIG_DEVICE_INFO_TYPE>(-3);
constexpr auto kSetStep = static_cast<DISPLAYCONFIG_DEVICE_INFO_TYPE>(-4);

bool SameLuid(const LUID& a, const LUID& b) { return a.LowPart == b.LowPart && a.HighPart == b.HighPart; }

template <size_t N>
void CopyName(wchar_t (&to)[N], const std::wstring& from) {
  const size_t n = std::min(from.size(), N - 1);
  std::wmemcpy(to, from.data(), n);
  to[n] = L'\0';
}

}  // namespace

SimMonitor SimulatedDisplays::PcScreen(uint32_t index, int32_t x) {
  SimMonitor m;
  m.gdiName = L"\\\\.\\DISPLAY" + std::to_wstring(index);
  m.friendlyName = L"PC screen " + std::to_wstring(index);
  m.monitorPath = L"\\\\?\\DISPLAY#PCS000" + std::to_wstring(index) + L"#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
  m.sourceId = index - 1;
  m.targetId = index;
  m.x = x;
  m.minStep = -1;  // recommended 125 %, 100 .. 200 %
  m.currentStep = 0;
  m.maxStep = 3;
  return m;
}

SimMonitor SimulatedDisplays::VirtualMonitor(uint32_t targetId, int32_t x) {
  SimMonitor m;
  m.gdiName = L"\\\\.\\DISPLAY" + std::to_wstring(targetId);
  m.friendlyName = L"tavro";
  m.monitorPath = L"\\\\?\\DISPLAY#KLM5C2E#" + std::to_wstring(targetId) + L"#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
  m.adapter = LUID{0x1234, 0x5};
  m.sourceId = targetId;
  m.targetId = targetId;
  m.isVirtual = true;
  m.x = x;
  m.minStep = 0;
  m.maxStep = 6;
  return m;
}

void SimulatedDisplays::Add(SimMonitor monitor) {
  std::lock_guard lock(mutex_);
  monitors_.push_back(std::move(monitor));
}

void SimulatedDisplays::Update(const std::wstring& gdiName, const std::function<void(SimMonitor&)>& change) {
  std::lock_guard lock(mutex_);
  if (SimMonitor* m = ByNameLocked(gdiName)) change(*m);
}

std::optional<SimMonitor> SimulatedDisplays::Find(const std::wstring& gdiName) const {
  std::lock_guard lock(mutex_);
  for (const SimMonitor& m : monitors_) {
    if (m.gdiName == gdiName) return m;
  }
  return std::nullopt;
}

void SimulatedDisplays::RemoveTarget(uint32_t targetId) {
  std::lock_guard lock(mutex_);
  std::erase_if(monitors_, [&](const SimMonitor& m) { return m.targetId == targetId && m.isVirtual; });
}

std::vector<std::wstring> SimulatedDisplays::ActiveNamesLocked() const {
  std::vector<std::wstring> names;
  for (const SimMonitor& m : monitors_) {
    if (m.active) names.push_back(m.gdiName);
  }
  return names;
}

std::vector<std::wstring> SimulatedDisplays::ActiveNames() const {
  std::lock_guard lock(mutex_);
  return ActiveNamesLocked();
}

std::vector<ScaleSet> SimulatedDisplays::ScaleSets() const {
  std::lock_guard lock(mutex_);
  return scaleSets_;
}
std::vector<ModeChange> SimulatedDisplays::ModeChanges() const {
  std::lock_guard lock(mutex_);
  return modeChanges_;
}
std::vector<ConfigSet> SimulatedDisplays::ConfigSets() const {
  std::lock_guard lock(mutex_);
  return configSets_;
}
uint64_t SimulatedDisplays::Now() const {
  std::lock_guard lock(mutex_);
  return nowMs_;
}

void SimulatedDisplays::ActivateDueLocked() {
  for (SimMonitor& m : monitors_) {
    if (m.activateAtMs != 0 && nowMs_ >= m.activateAtMs) {
      m.active = true;
      m.activateAtMs = 0;
    }
  }
}

SimMonitor* SimulatedDisplays::BySourceLocked(const LUID& adapter, uint32_t sourceId) {
  for (SimMonitor& m : monitors_) {
    if (SameLuid(m.adapter, adapter) && m.sourceId == sourceId) return &m;
  }
  return nullptr;
}
SimMonitor* SimulatedDisplays::ByTargetLocked(const LUID& adapter, uint32_t targetId) {
  for (SimMonitor& m : monitors_) {
    if (SameLuid(m.adapter, adapter) && m.targetId == targetId) return &m;
  }
  return nullptr;
}
SimMonitor* SimulatedDisplays::ByNameLocked(const std::wstring& gdiName) {
  for (SimMonitor& m : monitors_) {
    if (_wcsicmp(m.gdiName.c_str(), gdiName.c_str()) == 0) return &m;
  }
  return nullptr;
}

LONG SimulatedDisplays::GetBufferSizes(UINT32& pathCount, UINT32& modeCount) {
  std::lock_guard lock(mutex_);
  ActivateDueLocked();
  const auto active = static_cast<UINT32>(std::count_if(monitors_.begin(), monitors_.end(),
                                                        [](const SimMonitor& m) { return m.active; }));
  pathCount = active;
  modeCount = active * 2;
  return ERROR_SUCCESS;
}

LONG SimulatedDisplays::Query(UINT32& pathCount, DISPLAYCONFIG_PATH_INFO* paths, UINT32& modeCount,
                              DISPLAYCONFIG_MODE_INFO* modes) {
  std::lock_guard lock(mutex_);
  ++queries_;
  if (insufficientBufferAnswers > 0) {
    --insufficientBufferAnswers;
    return ERROR_INSUFFICIENT_BUFFER;
  }
  ActivateDueLocked();
  UINT32 p = 0, n = 0;
  for (const SimMonitor& m : monitors_) {
    if (!m.active) continue;
    if (p + 1 > pathCount || n + 2 > modeCount) return ERROR_INSUFFICIENT_BUFFER;
    DISPLAYCONFIG_MODE_INFO& source = modes[n];
    source = DISPLAYCONFIG_MODE_INFO{};
    source.infoType = DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE;
    source.id = m.sourceId;
    source.adapterId = m.adapter;
    source.sourceMode.width = m.width;
    source.sourceMode.height = m.height;
    source.sourceMode.position = POINTL{m.x, m.y};
    DISPLAYCONFIG_MODE_INFO& target = modes[n + 1];
    target = DISPLAYCONFIG_MODE_INFO{};
    target.infoType = DISPLAYCONFIG_MODE_INFO_TYPE_TARGET;
    target.id = m.targetId;
    target.adapterId = m.adapter;
    target.targetMode.targetVideoSignalInfo.activeSize = {m.width, m.height};
    DISPLAYCONFIG_PATH_INFO& path = paths[p];
    path = DISPLAYCONFIG_PATH_INFO{};
    path.sourceInfo.adapterId = m.adapter;
    path.sourceInfo.id = m.sourceId;
    path.sourceInfo.modeInfoIdx = n;
    path.targetInfo.adapterId = m.adapter;
    path.targetInfo.id = m.targetId;
    path.targetInfo.modeInfoIdx = n + 1;
    path.targetInfo.targetAvailable = TRUE;
    path.flags = DISPLAYCONFIG_PATH_ACTIVE;
    ++p;
    n += 2;
  }
  pathCount = p;
  modeCount = n;
  return ERROR_SUCCESS;
}

LONG SimulatedDisplays::GetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) {
  std::lock_guard lock(mutex_);
  if (request.type == DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME) {
    if (request.size != sizeof(DISPLAYCONFIG_SOURCE_DEVICE_NAME)) return ERROR_INVALID_PARAMETER;
    SimMonitor* m = BySourceLocked(request.adapterId, request.id);
    if (m == nullptr) return ERROR_NOT_FOUND;
    CopyName(reinterpret_cast<DISPLAYCONFIG_SOURCE_DEVICE_NAME&>(request).viewGdiDeviceName, m->gdiName);
    return ERROR_SUCCESS;
  }
  if (request.type == DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME) {
    if (request.size != sizeof(DISPLAYCONFIG_TARGET_DEVICE_NAME)) return ERROR_INVALID_PARAMETER;
    SimMonitor* m = ByTargetLocked(request.adapterId, request.id);
    if (m == nullptr) return ERROR_NOT_FOUND;
    auto& t = reinterpret_cast<DISPLAYCONFIG_TARGET_DEVICE_NAME&>(request);
    CopyName(t.monitorFriendlyDeviceName, m->friendlyName);
    CopyName(t.monitorDevicePath, m->monitorPath);
    t.flags.edidIdsValid = 1;
    // Windows gives the manufacturer id in the EDID's byte order.
    t.edidManufactureId = m->isVirtual ? 0x8D2D : 0xAC10;
    t.edidProductCodeId = m->isVirtual ? 0x5C2E : 0x4321;
    return ERROR_SUCCESS;
  }
  if (request.type == kGetSteps) {
    if (request.size != 32) return ERROR_INVALID_PARAMETER;
    SimMonitor* m = BySourceLocked(request.adapterId, request.id);
    if (m == nullptr) return ERROR_NOT_FOUND;
    if (!m->scaleAnswers) return ERROR_NOT_SUPPORTED;
    auto* values = reinterpret_cast<INT32*>(reinterpret_cast<uint8_t*>(&request) + 20);
    values[0] = m->minStep;
    values[1] = m->currentStep;
    values[2] = m->maxStep;
    return ERROR_SUCCESS;
  }
  return ERROR_INVALID_PARAMETER;
}

LONG SimulatedDisplays::SetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) {
  std::lock_guard lock(mutex_);
  if (request.type != kSetStep || request.size != 24) return ERROR_INVALID_PARAMETER;
  SimMonitor* m = BySourceLocked(request.adapterId, request.id);
  if (m == nullptr) return ERROR_NOT_FOUND;
  const INT32 relative = *reinterpret_cast<INT32*>(reinterpret_cast<uint8_t*>(&request) + 20);
  scaleSets_.push_back({m->gdiName, relative});
  Event(std::format("scale {} {}", WideToUtf8(m->gdiName), relative));
  if (setScaleResult != ERROR_SUCCESS) return setScaleResult;
  m->currentStep = relative;
  return ERROR_SUCCESS;
}

LONG SimulatedDisplays::SetConfig(std::span<DISPLAYCONFIG_PATH_INFO> paths, std::span<DISPLAYCONFIG_MODE_INFO> modes,
                                  UINT32 flags) {
  std::lock_guard lock(mutex_);
  ConfigSet record{nowMs_, flags, paths.size(), {}};
  LONG result = setConfigResult;
  if (result == ERROR_SUCCESS) {
    if ((flags & SDC_USE_SUPPLIED_DISPLAY_CONFIG) != 0) {
      // Every index must point at a mode of the right kind for the path.
      for (const DISPLAYCONFIG_PATH_INFO& p : paths) {
        const UINT32 s = p.sourceInfo.modeInfoIdx, t = p.targetInfo.modeInfoIdx;
        if (s >= modes.size() || modes[s].infoType != DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE ||
            (t != DISPLAYCONFIG_PATH_MODE_IDX_INVALID &&
             (t >= modes.size() || modes[t].infoType != DISPLAYCONFIG_MODE_INFO_TYPE_TARGET))) {
          result = ERROR_INVALID_PARAMETER;
        }
      }
      if (result == ERROR_SUCCESS) {
        for (SimMonitor& m : monitors_) m.active = false;
        for (const DISPLAYCONFIG_PATH_INFO& p : paths) {
          SimMonitor* m = ByTargetLocked(p.targetInfo.adapterId, p.targetInfo.id);
          if (m == nullptr) continue;
          m->active = true;
          m->x = modes[p.sourceInfo.modeInfoIdx].sourceMode.position.x;
          m->y = modes[p.sourceInfo.modeInfoIdx].sourceMode.position.y;
        }
      }
    } else if ((flags & SDC_TOPOLOGY_EXTEND) != 0 && paths.empty()) {
      int32_t x = 0;
      for (SimMonitor& m : monitors_) {
        if (!m.connected) continue;
        m.active = true;
        m.activateAtMs = 0;
        m.x = x;
        m.y = 0;
        x += static_cast<int32_t>(m.width);
      }
    } else {
      result = ERROR_INVALID_PARAMETER;
    }
  }
  record.activeAfter = ActiveNamesLocked();
  configSets_.push_back(record);
  Event(std::format("config {:#x} {}", flags, paths.size()));
  return result;
}

bool SimulatedDisplays::CurrentMode(const std::wstring& deviceName, DEVMODEW& mode) {
  std::lock_guard lock(mutex_);
  SimMonitor* m = ByNameLocked(deviceName);
  if (m == nullptr || !m->active) return false;
  mode = DEVMODEW{};
  mode.dmSize = sizeof(mode);
  mode.dmPelsWidth = m->width;
  mode.dmPelsHeight = m->height;
  mode.dmDisplayFrequency = m->hz;
  mode.dmDisplayOrientation = m->orientation;
  mode.dmPosition = POINTL{m->x, m->y};
  mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY | DM_DISPLAYORIENTATION | DM_POSITION;
  return true;
}

LONG SimulatedDisplays::ChangeMode(const std::wstring& deviceName, DEVMODEW& mode, DWORD flags) {
  std::lock_guard lock(mutex_);
  if (mode.dmSize != 220) return DISP_CHANGE_BADPARAM;
  modeChanges_.push_back({deviceName, mode.dmPelsWidth, mode.dmPelsHeight, mode.dmDisplayFrequency,
                          mode.dmDisplayOrientation, flags});
  Event(std::format("mode {} {}x{}", WideToUtf8(deviceName), mode.dmPelsWidth, mode.dmPelsHeight));
  if (changeModeResult != DISP_CHANGE_SUCCESSFUL) return changeModeResult;
  SimMonitor* m = ByNameLocked(deviceName);
  if (m == nullptr) return DISP_CHANGE_BADMODE;
  m->width = mode.dmPelsWidth;
  m->height = mode.dmPelsHeight;
  m->hz = mode.dmDisplayFrequency;
  m->orientation = mode.dmDisplayOrientation;
  return DISP_CHANGE_SUCCESSFUL;
}

uint64_t SimulatedDisplays::NowMs() {
  std::lock_guard lock(mutex_);
  return nowMs_;
}

void SimulatedDisplays::SleepMs(uint32_t ms) {
  std::lock_guard lock(mutex_);
  nowMs_ += ms;
}

ScopedSimulatedDisplays::ScopedSimulatedDisplays() : sim_(std::make_shared<SimulatedDisplays>()) {
  SetDisplayConfigApi(sim_);
}

ScopedSimulatedDisplays::~ScopedSimulatedDisplays() { SetDisplayConfigApi(nullptr); }

}  // namespace kelm::test
