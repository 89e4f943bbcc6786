// The console caret diagnostic (--caret-test): looks for a blinking text caret on the first display.
#include <objbase.h>

#include "core/com_apartment.h"
#include "core/clock.h"
#include "media/console_diagnostics.h"
#include "core/log.h"
#include "media/caret_finder.h"
#include "media/desktop_duplication.h"
#include "media/display_enum.h"

namespace kelm {

namespace {
constexpr uint64_t kCaretTestTimeoutMicros = 5000000;
constexpr uint32_t kCaretTestFrameWaitMs = 50;
}  // namespace

int RunCaretTest() {
  const ComApartment com = EnterComApartment(COINIT_MULTITHREADED);
  const std::vector<DisplayInfo> displays = EnumerateDisplays();
  DesktopDuplication capture;
  if (displays.empty() || !capture.Open(displays.front().deviceName)) {
    LogError("Capture failed");
    return 1;
  }
  CaretFinder finder;
  finder.verbose = true;
  finder.Arm(RECT{0, 0, static_cast<LONG>(capture.width), static_cast<LONG>(capture.height)}, NowMicros(),
             kCaretTestTimeoutMicros);
  for (;;) {
    const CaptureResult r = capture.AcquireFrame(kCaretTestFrameWaitMs);
    const int found = r == CaptureResult::NewImage
                          ? finder.OnFrame(capture.Device(), capture.Context(),
                                           capture.Texture(), NowMicros())
                          : finder.CheckTimeout(NowMicros());
    if (found == kCaretFound) break;
    if (found == kCaretTimedOut) {
      LogInfo("No blinking caret found");
      return 3;
    }
    if (found == kCaretNotArmed) {
      // An empty output leaves nothing to look at.
      LogInfo("No blinking caret found");
      return 3;
    }
  }
  LogInfo("Caret found at ({}, {})", finder.FoundX(), finder.FoundY());
  return 0;
}

}  // namespace kelm
