// Mirror or extend set-up for one session, its display options, and their undoing.
#include "media/session_display.h"

#include "core/log.h"
#include "core/text.h"
#include "media/display_config.h"
#include "media/display_config_api.h"
#include "media/display_enum.h"
#include "media/monitor_activation.h"
#include "media/session_display_rules.h"

namespace kelm {
namespace {

constexpr uint32_t kActivationTimeoutMs = 10000;
constexpr uint8_t kScreensOffFlag = 0x01;

constexpr char kNoDisplaysText[] = "No active displays found to mirror.";
constexpr char kNoDriverText[] =
    "The tavro display driver is not installed (extend mode unavailable). Install it with "
    "scripts\\install-driver.ps1 or use mirror mode.";
constexpr char kAddRefusedText[] = "The display driver could not create a virtual monitor.";
constexpr char kNotActivatedText[] = "Windows did not activate the virtual monitor.";

bool SameMode(const DEVMODEW& mode, uint32_t width, uint32_t height, std::optional<uint32_t> hz) {
  return mode.dmPelsWidth == width && mode.dmPelsHeight == height && (!hz || mode.dmDisplayFrequency == *hz) &&
         mode.dmDisplayOrientation == DMDO_DEFAULT;
}

}  // namespace

LONG SetDisplayMode(const std::wstring& deviceName, uint32_t width, uint32_t height, uint32_t hz, uint32_t flags) {
  static_assert(sizeof(DEVMODEW) == 220);
  DEVMODEW mode{};
  mode.dmSize = sizeof(mode);
  mode.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT | DM_DISPLAYFREQUENCY | DM_DISPLAYORIENTATION;
  mode.dmPelsWidth = width;
  mode.dmPelsHeight = height;
  mode.dmDisplayFrequency = hz;
  mode.dmDisplayOrientation = DMDO_DEFAULT;
  return DisplayApi()->ChangeMode(deviceName, mode, flags);
}

SessionDisplay::SessionDisplay(VirtualDisplayDriver& driver, std::string label)
    : driver_(driver), label_(std::move(label)) {}

SessionDisplay::~SessionDisplay() { RemoveMonitor(); }

std::wstring SessionDisplay::DisplayName() const {
  std::lock_guard lock(mutex_);
  return displayName_;
}

bool SessionDisplay::Mirror() const { return mode_ == kDisplayModeMirror; }

bool SessionDisplay::Setup(const msg::Hello& hello, uint32_t fps, bool driverAllowed, std::string& errorForDevice) {
  // Decided once here, so that set-up, the display options and the video thread agree.
  mode_ = NormalisedDisplayMode(hello.displayMode);
  dpi_ = hello.dpi;
  if (mode_ == kDisplayModeMirror) return SetupMirror(hello, errorForDevice);
  return SetupExtend(hello, fps, driverAllowed, errorForDevice);
}

bool SessionDisplay::SetupMirror(const msg::Hello& hello, std::string& errorForDevice) {
  const std::vector<DisplayInfo> displays = EnumerateDisplays();
  if (displays.empty()) {
    errorForDevice = kNoDisplaysText;
    return false;
  }
  const DisplayInfo& chosen = displays[MirrorDisplayIndex(hello.mirrorIndex, displays.size())];
  {
    std::lock_guard lock(mutex_);
    displayName_ = chosen.deviceName;
  }
  LogInfo("[{}] mirroring {} ({})", label_, WideToUtf8(chosen.monitorName), WideToUtf8(chosen.deviceName));
  return true;
}

bool SessionDisplay::SetupExtend(const msg::Hello& hello, uint32_t fps, bool driverAllowed,
                                 std::string& errorForDevice) {
  if (!driverAllowed || (!driver_.IsOpen() && !driver_.Open())) {
    errorForDevice = kNoDriverText;
    return false;
  }
  const MonitorSize size = VirtualMonitorSize(hello.displayWidth, hello.displayHeight, hello.panelWidth,
                                              hello.panelHeight);
  const auto added = driver_.AddMonitor({size.width, size.height, fps, hello.monitorParamA, hello.monitorParamB});
  if (!added) {
    errorForDevice = kAddRefusedText;
    return false;
  }
  monitorId_ = added->monitorId;
  monitorAdded_ = true;

  LUID adapter{};
  adapter.LowPart = added->adapterLow;
  adapter.HighPart = added->adapterHigh;
  const auto name = WaitForMonitorActive(adapter, added->targetId, kActivationTimeoutMs);
  if (!name) {
    // The monitor stays recorded; the teardown removes it.
    errorForDevice = kNotActivatedText;
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    displayName_ = *name;
  }
  DEVMODEW current{};
  if (DisplayApi()->CurrentMode(*name, current) && !SameMode(current, size.width, size.height, fps)) {
    const LONG code = SetDisplayMode(*name, size.width, size.height, fps, CDS_UPDATEREGISTRY);
    if (code != DISP_CHANGE_SUCCESSFUL) {
      LogWarn("[{}] could not set {}x{}@{} (code {})", label_, size.width, size.height, fps, code);
    }
  }
  {
    std::lock_guard lock(mutex_);
    baseWidth_ = size.width;
    baseHeight_ = size.height;
  }
  LogInfo("[{}] virtual monitor {} ready: {} ({}x{} @ {} Hz)", label_, monitorId_, WideToUtf8(*name), size.width,
          size.height, fps);
  return true;
}

void SessionDisplay::ApplySettings(uint16_t scalePercent, uint8_t flags) {
  std::lock_guard lock(mutex_);
  if (displayName_.empty()) return;
  if (mode_ == kDisplayModeExtend) {
    const bool screensOff = (flags & kScreensOffFlag) != 0;
    if (screensOff && !exclusive_) {
      exclusive_ = EnterExclusiveDisplays();
    } else if (!screensOff && exclusive_) {
      LeaveExclusiveDisplays();
      exclusive_ = false;
    }
    SetDisplayScale(displayName_, scalePercent != 0 ? scalePercent : AutomaticScalePercent(dpi_));
    return;
  }
  if (scalePercent != 0) {
    ChangeDisplayScale(heldScalePath_, displayName_, scalePercent);
  } else {
    RestoreDisplayScale(heldScalePath_);
  }
}

void SessionDisplay::ApplyOrientation(const StreamFeedback::StreamSize& values, uint32_t fps) {
  const bool portrait = values.panelHeight > values.panelWidth;
  LogInfo("[{}] device turned to {}", label_, portrait ? "portrait" : "landscape");
  std::lock_guard lock(mutex_);
  if (mode_ != kDisplayModeExtend || displayName_.empty() || baseWidth_ == 0) return;
  const MonitorSize wanted = OrientedSize({baseWidth_, baseHeight_}, portrait);
  DEVMODEW current{};
  if (!DisplayApi()->CurrentMode(displayName_, current) ||
      SameMode(current, wanted.width, wanted.height, std::nullopt)) {
    return;
  }
  const LONG code = SetDisplayMode(displayName_, wanted.width, wanted.height, fps, 0);
  if (code != DISP_CHANGE_SUCCESSFUL) {
    LogWarn("[{}] switching the display to {}x{} failed (code {})", label_, wanted.width, wanted.height, code);
  } else {
    LogInfo("[{}] display switched to {}x{}", label_, wanted.width, wanted.height);
  }
}

void SessionDisplay::UndoDisplayChangesLocked() {
  RestoreDisplayScale(heldScalePath_);
  if (exclusive_) {
    LeaveExclusiveDisplays();
    exclusive_ = false;
  }
}

void SessionDisplay::RemoveMonitor() {
  {
    std::lock_guard lock(mutex_);
    UndoDisplayChangesLocked();
  }
  if (monitorAdded_.exchange(false)) {
    driver_.RemoveMonitor(monitorId_);
    LogInfo("[{}] virtual monitor {} removed", label_, monitorId_);
  }
}

}  // namespace kelm
