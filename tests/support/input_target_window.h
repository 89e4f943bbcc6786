#pragma once
// Runs the input_target test window in its own process and reads what it recorded.
#include <windows.h>

#include <cstdio>
#include <string>

#include "support/child_process.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace kelm::test {

class InputTargetWindow {
 public:
  // Starts the window (the test tree's input_target.exe, or a copy of it at `exe`) and
  // waits until it reports its controls.
  bool Start(const std::wstring& exe = SiblingExe(L"input_target.exe")) {
    if (!child_.Start(L"\"" + exe + L"\"", dir_.File(L"input_target.txt")) ||
        !child_.WaitForOutput("ready ", 20000)) {
      return false;
    }
    const std::string out = child_.Output();
    const size_t at = out.find("ready ");
    return std::sscanf(out.c_str() + at, "ready edit %ld %ld %ld %ld multi %ld %ld %ld %ld button %ld %ld %ld %ld",
                       &edit.left, &edit.top, &edit.right, &edit.bottom, &multi.left, &multi.top, &multi.right,
                       &multi.bottom, &button.left, &button.top, &button.right, &button.bottom) == 12;
  }

  // Waits until a whole recorded line equals `line`.
  bool WaitLine(const std::string& line, uint32_t timeoutMs = 5000) const {
    return child_.WaitForOutput("\n" + line + "\n", timeoutMs);
  }
  std::string Output() const { return child_.Output(); }

  RECT edit{};
  RECT multi{};
  RECT button{};

 private:
  TempDir dir_;
  ChildProcess child_;
};

}  // namespace kelm::test
