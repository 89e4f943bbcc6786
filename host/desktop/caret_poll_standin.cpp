// Caret events made from polling the foreground thread's caret (for Wine).
#include "desktop/caret_poll_standin.h"

#include "core/wine_detect.h"

namespace kelm {

bool CaretPollStandIn::Needed() { return RunningUnderWine(); }

std::vector<CaretPollStandIn::Event> CaretPollStandIn::Poll() {
  HWND window = nullptr;
  RECT rect{};
  const HWND foreground = GetForegroundWindow();
  DWORD processId = 0;
  const DWORD threadId = foreground != nullptr ? GetWindowThreadProcessId(foreground, &processId) : 0;
  if (threadId != 0 && processId != GetCurrentProcessId()) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (GetGUIThreadInfo(threadId, &info) && info.hwndCaret != nullptr) {
      window = info.hwndCaret;
      rect = info.rcCaret;
    }
  }
  std::vector<Event> events;
  if (window == nullptr) {
    if (caretWindow_ != nullptr) {
      events.push_back({caretWindow_, EVENT_OBJECT_HIDE});
    }
  } else if (window != caretWindow_) {
    events.push_back({window, EVENT_OBJECT_SHOW});
  } else if (!EqualRect(&rect, &caretRect_)) {
    events.push_back({window, EVENT_OBJECT_LOCATIONCHANGE});
  }
  caretWindow_ = window;
  caretRect_ = rect;
  return events;
}

}  // namespace kelm
