#pragma once
// The console diagnostics of the host program (--list-displays, --remove-monitors,
// --caret-test, --audio-test); each returns the process exit code.
namespace kelm {

int ListDisplays();
int RemoveMonitors();
int RunCaretTest();
int RunAudioTest();

}  // namespace kelm
