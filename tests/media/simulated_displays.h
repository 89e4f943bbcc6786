#pragma once
// A simulated display configuration for tests: monitors with their paths, names, EDID
// ids, modes and scale steps, answering the display calls the host makes as Windows
// would, and recording every change asked of it. Time is simulated too: sleeping moves
// the clock on, and a monitor can be set to activate at a given time.
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "event_log.h"
#include "media/display_config_api.h"

namespace kelm::test {

struct SimMonitor {
  std::wstring gdiName;       // the source's GDI name
  std::wstring friendlyName;  // the target's friendly name
  std::wstring monitorPath;   // the target's monitor device path
  LUID adapter{0x77, 0};
  uint32_t sourceId = 0;
  uint32_t targetId = 0;
  bool isVirtual = false;     // carries our virtual monitors' EDID ids
  bool connected = true;      // extend makes every connected monitor active
  bool active = true;
  uint64_t activateAtMs = 0;  // non-zero: becomes active when the clock reaches it
  int32_t x = 0, y = 0;
  uint32_t width = 1920, height = 1080, hz = 60;
  uint32_t orientation = 0;   // DMDO_DEFAULT
  // Scale steps relative to the recommended one; no answer when `scaleAnswers` is false.
  bool scaleAnswers = true;
  int32_t minStep = 0, currentStep = 0, maxStep = 3;
};

struct ScaleSet {
  std::wstring gdiName;
  int32_t relative = 0;
};

struct ModeChange {
  std::wstring gdiName;
  uint32_t width = 0, height = 0, hz = 0, orientation = 0;
  DWORD flags = 0;
};

struct ConfigSet {
  uint64_t atMs = 0;  // the simulated clock when it was asked
  UINT32 flags = 0;
  size_t paths = 0;
  std::vector<std::wstring> activeAfter;  // GDI names, in order
};

class SimulatedDisplays final : public DisplayConfigApi {
 public:
  // A PC screen, a second PC screen and a virtual monitor, as the tests need them.
  static SimMonitor PcScreen(uint32_t index, int32_t x);
  static SimMonitor VirtualMonitor(uint32_t targetId, int32_t x);

  void Add(SimMonitor monitor);
  void Update(const std::wstring& gdiName, const std::function<void(SimMonitor&)>& change);
  std::optional<SimMonitor> Find(const std::wstring& gdiName) const;
  std::vector<std::wstring> ActiveNames() const;
  void RemoveTarget(uint32_t targetId);

  std::vector<ScaleSet> ScaleSets() const;
  std::vector<ModeChange> ModeChanges() const;
  std::vector<ConfigSet> ConfigSets() const;
  uint64_t Now() const;

  // Failure switches.
  int insufficientBufferAnswers = 0;  // queries answering "too small" first
  LONG setConfigResult = ERROR_SUCCESS;
  LONG setScaleResult = ERROR_SUCCESS;
  LONG changeModeResult = 0;          // DISP_CHANGE_SUCCESSFUL
  std::shared_ptr<EventLog> events;

  LONG GetBufferSizes(UINT32& pathCount, UINT32& modeCount) override;
  LONG Query(UINT32& pathCount, DISPLAYCONFIG_PATH_INFO* paths, UINT32& modeCount,
             DISPLAYCONFIG_MODE_INFO* modes) override;
  LONG GetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) override;
  LONG SetDeviceInfo(DISPLAYCONFIG_DEVICE_INFO_HEADER& request) override;
  LONG SetConfig(std::span<DISPLAYCONFIG_PATH_INFO> paths, std::span<DISPLAYCONFIG_MODE_INFO> modes,
                 UINT32 flags) override;
  bool CurrentMode(const std::wstring& deviceName, DEVMODEW& mode) override;
  LONG ChangeMode(const std::wstring& deviceName, DEVMODEW& mode, DWORD flags) override;
  uint64_t NowMs() override;
  void SleepMs(uint32_t ms) override;

 private:
  void ActivateDueLocked();
  SimMonitor* BySourceLocked(const LUID& adapter, uint32_t sourceId);
  SimMonitor* ByTargetLocked(const LUID& adapter, uint32_t targetId);
  SimMonitor* ByNameLocked(const std::wstring& gdiName);
  std::vector<std::wstring> ActiveNamesLocked() const;
  void Event(const std::string& text) {
    if (events) events->Add(text);
  }

  mutable std::mutex mutex_;
  std::vector<SimMonitor> monitors_;
  std::vector<ScaleSet> scaleSets_;
  std::vector<ModeChange> modeChanges_;
  std::vector<ConfigSet> configSets_;
  uint64_t nowMs_ = 1000000;
  int queries_ = 0;
};

// Installs a simulation as the display calls for one test and takes it out again.
class ScopedSimulatedDisplays {
 public:
  ScopedSimulatedDisplays();
  ~ScopedSimulatedDisplays();
  ScopedSimulatedDisplays(const ScopedSimulatedDisplays&) = delete;
  ScopedSimulatedDisplays& operator=(const ScopedSimulatedDisplays&) = delete;
  SimulatedDisplays& operator*() { return *sim_; }
  SimulatedDisplays* operator->() { return sim_.get(); }

 private:
  std::shared_ptr<SimulatedDisplays> sim_;
};

}  // namespace kelm::test
