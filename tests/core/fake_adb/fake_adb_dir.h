#pragma once
// A test folder holding the scripted fake adb as "adb.exe" (fake_adb.cpp describes the
// script) and what it recorded.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/win_handle.h"
#include "support/temp_dir.h"

namespace kelm::test {

class FakeAdbDir {
 public:
  FakeAdbDir();
  // Ends every background "server" the fake started.
  ~FakeAdbDir();
  FakeAdbDir(const FakeAdbDir&) = delete;
  FakeAdbDir& operator=(const FakeAdbDir&) = delete;

  const std::wstring& Adb() const { return adb_; }
  const std::wstring& Path() const { return dir_.Path(); }
  void Script(const std::string& text) const;

  // The argument text of every call, in order.
  std::vector<std::string> Calls() const;
  size_t CountCalls(const std::string& args) const;
  // Process ids of every call, and of every server started.
  std::vector<uint32_t> Pids() const;
  std::vector<uint32_t> ServerPids() const;

 private:
  TempDir dir_;
  std::wstring adb_;
};

// Lines of a text file (LF or CR LF), without the line ends.
std::vector<std::string> FileLines(const std::wstring& path);

// Polls `done` every 10 ms for up to `timeoutMs`; its last answer.
template <typename Pred>
bool WaitUntil(Pred done, uint32_t timeoutMs = 10000) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!done()) {
    if (GetTickCount64() > end) {
      return done();
    }
    Sleep(10);
  }
  return true;
}

// A handle that can wait for the process and read its exit code.
WinHandle OpenProcessById(uint32_t pid);
// Its exit code once it has ended within `waitMs`, else -1.
int64_t ExitCodeAfter(const WinHandle& process, uint32_t waitMs);

}  // namespace kelm::test
