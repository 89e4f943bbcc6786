#pragma once
// A program started by a test that keeps running while the test talks to it; what
// it prints goes to a file the test can read at any time.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kelm::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // kills a child that is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  struct Options {
    bool suspended = false;   // the first thread waits for Resume()
    std::wstring currentDir;  // empty: the test's own
  };

  // Standard output and standard error both go to `outputPath`.
  bool Start(const std::wstring& commandLine, const std::wstring& outputPath, const Options& options);
  bool Start(const std::wstring& commandLine, const std::wstring& outputPath) {
    return Start(commandLine, outputPath, Options{});
  }
  // Lets a child started suspended run.
  bool Resume();
  std::string Output() const;
  // Waits until the output holds `text`; false after `timeoutMs` or when the child ended.
  bool WaitForOutput(const std::string& text, uint32_t timeoutMs = 20000) const;
  // Exit code, or nothing when it still runs after `timeoutMs`.
  bool Wait(uint32_t timeoutMs, uint32_t& exitCode);
  uint32_t Id() const { return processId_; }

 private:
  HANDLE process_ = nullptr;
  HANDLE thread_ = nullptr;  // kept only while suspended
  uint32_t processId_ = 0;
  std::wstring outputPath_;
};

}  // namespace kelm::test
