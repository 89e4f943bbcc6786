// Test helper: "hold FILE MS" opens FILE without delete sharing, prints "held" and
// keeps it open for MS ms; "suspend PID" and "resume PID" suspend or resume every
// thread of a process; "sleep MS" prints its process id and lives that long (a
// stand-in installer); "pipe NAME MS" creates the named pipe NAME, prints "held" and
// keeps it for MS ms (a squatter on another program's pipe name).
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string_view>

#include "core/win_handle.h"

namespace {

bool ForEachThread(DWORD pid, bool suspend) {
  kelm::WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return false;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    kelm::WinHandle thread(OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
    if (!thread) continue;
    const DWORD r = suspend ? SuspendThread(thread.Get()) : ResumeThread(thread.Get());
    if (r != static_cast<DWORD>(-1)) ++count;
  }
  return count > 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring_view command = argv[1];
  const unsigned long number = std::wcstoul(argv[2], nullptr, 10);
  if (command == L"hold" && argc >= 4) {
    kelm::WinHandle file(CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    return 0;
  }
  if (command == L"pipe" && argc >= 4) {
    kelm::WinHandle pipe(CreateNamedPipeW(argv[2], PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr));
    if (!pipe) return 1;
    std::printf("held\n");
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)));
    return 0;
  }
  if (command == L"suspend" || command == L"resume") {
    return ForEachThread(static_cast<DWORD>(number), command == L"suspend") ? 0 : 1;
  }
  if (command == L"sleep") {
    std::printf("%lu\n", GetCurrentProcessId());
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(number));
    return 0;
  }
  return 2;
}
