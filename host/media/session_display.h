#pragma once
// A session's display: the PC display it mirrors, or the virtual monitor it adds and
// extends the desktop onto, with the device's scale and screens-off wishes, all undone
// when the session ends.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/messages.h"
#include "media/stream_feedback.h"
#include "media/virtual_display_driver.h"

namespace kelm {

class SessionDisplay {
 public:
  SessionDisplay(VirtualDisplayDriver& driver, std::string label);
  // Restores scales, leaves exclusive mode and removes the monitor, if not done yet.
  ~SessionDisplay();
  SessionDisplay(const SessionDisplay&) = delete;
  SessionDisplay& operator=(const SessionDisplay&) = delete;

  // Chooses the display after the Hello; false with a text for the device.
  bool Setup(const msg::Hello& hello, uint32_t fps, bool driverAllowed, std::string& errorForDevice);
  // The device's display options (scale percent, 0 = automatic; flags bit 0: PC screens off).
  void ApplySettings(uint16_t scalePercent, uint8_t flags);
  // The device turned: the virtual monitor follows between portrait and landscape.
  void ApplyOrientation(const StreamFeedback::StreamSize& values, uint32_t fps);
  // At the end of the session's services: restores scales and the PC's screens first,
  // then removes the virtual monitor, so nothing waits for the session to be destroyed.
  void RemoveMonitor();

  // The GDI device name of the display streamed; empty until set up.
  std::wstring DisplayName() const;
  // 1 mirror, 0 extend (every other Hello mode counts as extend).
  uint8_t Mode() const { return mode_; }
  bool Mirror() const;

 private:
  bool SetupMirror(const msg::Hello& hello, std::string& errorForDevice);
  bool SetupExtend(const msg::Hello& hello, uint32_t fps, bool driverAllowed, std::string& errorForDevice);
  // Under mutex_: the scale this session holds and exclusive mode, given back.
  void UndoDisplayChangesLocked();

  VirtualDisplayDriver& driver_;
  const std::string label_;
  std::atomic<uint8_t> mode_{0};
  uint16_t dpi_ = 0;
  mutable std::mutex mutex_;  // the display options and their undoing
  std::wstring displayName_;
  uint32_t monitorId_ = 0;
  std::atomic<bool> monitorAdded_{false};
  uint32_t baseWidth_ = 0;
  uint32_t baseHeight_ = 0;
  std::wstring heldScalePath_;
  bool exclusive_ = false;
};

// ChangeDisplaySettingsExW with size, refresh rate and the default orientation; its code.
LONG SetDisplayMode(const std::wstring& deviceName, uint32_t width, uint32_t height, uint32_t hz, uint32_t flags);

}  // namespace kelm
