#include "core/adb_runner.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "core/find_adb.h"
#include "core/win_handle.h"

namespace kelm {
namespace {

constexpr DWORD kReadPiece = 4096;
constexpr DWORD kPollMs = 20;
constexpr ULONGLONG kDrainMs = 1000;

// Reads one piece of what is waiting in the pipe without ever blocking. False when
// nothing is waiting (or the pipe has no writer left).
bool ReadWaiting(HANDLE pipe, std::string& output) {
  DWORD waiting = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0) {
    return false;
  }
  char buffer[kReadPiece];
  DWORD n = 0;
  if (ReadFile(pipe, buffer, std::min(waiting, kReadPiece), &n, nullptr)) {
    output.append(buffer, n);
  }
  return true;
}

// Only the pipe's write end goes to adb (and so to the server it may start), not every
// inheritable handle this process happens to hold, such as listening sockets.
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE handle) : handle_(handle) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    if (size == 0) {
      return;
    }
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      return;
    }
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &handle_,
                                   sizeof handle_, nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return;
    }
    list_ = list;
  }
  ~InheritOnly() {
    if (list_ != nullptr) {
      DeleteProcThreadAttributeList(list_);
    }
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST List() const { return list_; }

 private:
  HANDLE handle_;
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

}  // namespace

int32_t RunAdb(const std::wstring& adbPath, std::wstring_view arguments, std::string& output,
               uint32_t timeoutMs, void* cancelEvent) {
  output.clear();
  // Without a full path Windows would search the current folder and PATH for adb.
  if (!IsAbsolutePath(adbPath)) {
    return -1;
  }
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readRaw = nullptr;
  HANDLE writeRaw = nullptr;
  if (!CreatePipe(&readRaw, &writeRaw, &sa, 0)) {
    return -1;
  }
  WinHandle readEnd(readRaw);
  WinHandle writeEnd(writeRaw);
  if (!SetHandleInformation(readEnd.Get(), HANDLE_FLAG_INHERIT, 0)) {
    return -1;
  }

  std::wstring commandLine = L"\"" + adbPath + L"\" " + std::wstring(arguments);
  InheritOnly inherit(writeEnd.Get());
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof si;
  si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  si.StartupInfo.hStdInput = nullptr;
  si.StartupInfo.hStdOutput = writeEnd.Get();
  si.StartupInfo.hStdError = writeEnd.Get();
  DWORD flags = CREATE_NO_WINDOW;
  if (inherit.List() != nullptr) {
    si.lpAttributeList = inherit.List();
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  } else {
    si.StartupInfo.cb = sizeof si.StartupInfo;
  }
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                      &si.StartupInfo, &pi)) {
    return -1;
  }
  WinHandle process(pi.hProcess);
  WinHandle thread(pi.hThread);
  writeEnd.Reset();
  const ULONGLONG start = GetTickCount64();

  HANDLE waits[2] = {process.Get(), cancelEvent};
  const DWORD waitCount = cancelEvent != nullptr ? 2 : 1;
  const auto kill = [&] {
    TerminateProcess(process.Get(), 1);
    WaitForSingleObject(process.Get(), 1000);
    return -1;
  };
  // The deadline is checked on every turn, so neither a chattering adb nor a server that
  // keeps writing into the inherited pipe can hold the caller past it.
  for (;;) {
    if (!ReadWaiting(readEnd.Get(), output)) {
      const DWORD woke = WaitForMultipleObjects(waitCount, waits, FALSE, kPollMs);
      if (woke == WAIT_OBJECT_0) {
        // What adb wrote before it ended is waiting in the pipe; a server writing on
        // after it gets a second at most (or what is left of the time-out).
        const ULONGLONG drainEnd = std::max(start + timeoutMs, GetTickCount64() + kDrainMs);
        while (GetTickCount64() <= drainEnd && ReadWaiting(readEnd.Get(), output)) {
        }
        DWORD code = 0;
        if (!GetExitCodeProcess(process.Get(), &code)) {
          return -1;
        }
        return static_cast<int32_t>(code);
      }
      if (woke == WAIT_OBJECT_0 + 1) {
        return kill();
      }
    }
    if (GetTickCount64() - start > timeoutMs) {
      return kill();
    }
  }
}

}  // namespace kelm
