#pragma once
// Runs a Windows program from a test and collects what it printed.
#include <cstdint>
#include <string>

namespace kelm::test {

struct ProcessResult {
  uint32_t exitCode = 0xFFFFFFFF;
  std::string out;  // standard output
  std::string err;  // standard error
  bool started = false;
  bool timedOut = false;
};

// `commandLine` is passed to CreateProcessW as it stands (quote arguments yourself);
// the program starts in `currentDir`, or in the test's current folder when it is empty.
ProcessResult RunProcess(const std::wstring& commandLine, uint32_t timeoutMs = 30000,
                         const std::wstring& currentDir = {});

// Full path of a program next to the running test executable.
std::wstring SiblingExe(const std::wstring& name);

}  // namespace kelm::test
