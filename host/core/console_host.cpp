#include "core/console_host.h"

#include "core/log.h"

namespace kelm {

// Placeholders until the host service, display and audio pieces are built: each
// says plainly that the mode is missing and fails, so nothing pretends to work.
namespace {
int NotBuiltYet(const char* what) {
  LogError("{} is not available in this build", what);
  return 1;
}
}  // namespace

int RunConsole(const CommandLine&) { return NotBuiltYet("The console host"); }
BOOL WINAPI ConsoleCtrlHandler(DWORD) { return FALSE; }
int ListDisplays() { return NotBuiltYet("--list-displays"); }
int RemoveMonitors() { return NotBuiltYet("--remove-monitors"); }
int RunCaretTest() { return NotBuiltYet("--caret-test"); }
int RunAudioTest() { return NotBuiltYet("--audio-test"); }

}  // namespace kelm
