#pragma once
// Stand-in for the caret WinEvents, which Wine never delivers: polls the caret of the
// foreground thread and yields the events the hooks would have delivered. Chosen only
// when the process runs under Wine.
#include <windows.h>

#include <utility>
#include <vector>

namespace kelm {

class CaretPollStandIn {
 public:
  struct Event {
    HWND window;
    DWORD event;  // EVENT_OBJECT_SHOW, EVENT_OBJECT_LOCATIONCHANGE or EVENT_OBJECT_HIDE
  };

  // True under Wine (ntdll exports wine_get_version).
  static bool Needed();

  // Events since the previous call; the caret of this process's own windows is ignored,
  // as the hooks skip it.
  std::vector<Event> Poll();

 private:
  HWND caretWindow_ = nullptr;
  RECT caretRect_{};
};

}  // namespace kelm
