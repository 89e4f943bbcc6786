#include "support/process.h"

#include <windows.h>

#include <thread>

#include "core/paths.h"

namespace kelm::test {
namespace {
struct Handle {
  HANDLE h = nullptr;
  ~Handle() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

void Drain(HANDLE pipe, std::string& into) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    into.append(buffer, n);
  }
}
}  // namespace

std::wstring SiblingExe(const std::wstring& name) { return ExecutableDir() + L"\\" + name; }

ProcessResult RunProcess(const std::wstring& commandLine, uint32_t timeoutMs) {
  ProcessResult result;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  Handle outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(&outRead.h, &outWrite.h, &sa, 0) || !CreatePipe(&errRead.h, &errWrite.h, &sa, 0)) {
    return result;
  }
  SetHandleInformation(outRead.h, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead.h, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = outWrite.h;
  si.hStdError = errWrite.h;
  PROCESS_INFORMATION pi{};
  std::wstring mutableLine = commandLine;
  if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    return result;
  }
  result.started = true;
  Handle process{pi.hProcess}, thread{pi.hThread};
  CloseHandle(outWrite.h);
  outWrite.h = nullptr;
  CloseHandle(errWrite.h);
  errWrite.h = nullptr;
  std::thread errReader([&] { Drain(errRead.h, result.err); });
  std::thread outReader([&] { Drain(outRead.h, result.out); });
  if (WaitForSingleObject(process.h, timeoutMs) != WAIT_OBJECT_0) {
    result.timedOut = true;
    TerminateProcess(process.h, 0xDEAD);
    WaitForSingleObject(process.h, 5000);
  }
  outReader.join();
  errReader.join();
  DWORD code = 0;
  GetExitCodeProcess(process.h, &code);
  result.exitCode = code;
  return result;
}

}  // namespace kelm::test
