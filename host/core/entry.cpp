// Process entry of the host program.
#include <windows.h>

#include <cstdio>

#include "app/run_gui.h"
#include "core/command_line.h"
#include "core/console_host.h"
#include "core/console_setup.h"
#include "core/log.h"
#include "core/paths.h"
#include "media/console_diagnostics.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // Before any window or display call, so every coordinate is in physical pixels.
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);

  kelm::CommandLine cl = kelm::ParseCommandLine();
  kelm::SetVerbose(cl.verbose);
  if (!cl.profileDir.empty()) {
    kelm::SetProfileDir(cl.profileDir);
  }

  const bool consoleMode = cl.console || cl.help || cl.listDisplays || cl.removeMonitors ||
                           cl.caretTest || cl.audioTest || !cl.error.empty();
  if (!consoleMode) {
    return kelm::RunGui(instance, std::move(cl.overrides), cl.minimized, cl.verbose,
                        std::move(cl.sendFiles));
  }

  kelm::PrepareConsole();
  if (!cl.error.empty()) {
    std::fprintf(stderr, "%s\n\n", cl.error.c_str());
    std::fflush(stderr);
    std::fputs(kelm::UsageText().c_str(), stdout);
    std::fflush(stdout);
    return 2;
  }
  if (cl.help) {
    std::fputs(kelm::UsageText().c_str(), stdout);
    std::fflush(stdout);
    return 0;
  }
  if (cl.caretTest) {
    return kelm::RunCaretTest();
  }
  if (cl.audioTest) {
    return kelm::RunAudioTest();
  }
  if (cl.listDisplays) {
    return kelm::ListDisplays();
  }
  if (cl.removeMonitors) {
    return kelm::RemoveMonitors();
  }
  return kelm::RunConsole(cl);
}
