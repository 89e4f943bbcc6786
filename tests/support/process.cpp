#include "support/process.h"

#include <windows.h>

#include <thread>

#include "core/paths.h"
#include "core/win_handle.h"

namespace kelm::test {
namespace {
void Drain(HANDLE pipe, std::string& into) {
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) {
    into.append(buffer, n);
  }
}
}  // namespace

std::wstring SiblingExe(const std::wstring& name) { return ExecutableDir() + L"\\" + name; }

ProcessResult RunProcess(const std::wstring& commandLine, uint32_t timeoutMs, const std::wstring& currentDir) {
  ProcessResult result;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  WinHandle outRead, outWrite, errRead, errWrite;
  if (!CreatePipe(outRead.Put(), outWrite.Put(), &sa, 0) || !CreatePipe(errRead.Put(), errWrite.Put(), &sa, 0)) {
    return result;
  }
  SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = outWrite.Get();
  si.hStdError = errWrite.Get();
  PROCESS_INFORMATION pi{};
  std::wstring mutableLine = commandLine;
  if (!CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      currentDir.empty() ? nullptr : currentDir.c_str(), &si, &pi)) {
    return result;
  }
  result.started = true;
  const WinHandle process(pi.hProcess), thread(pi.hThread);
  outWrite.Reset();
  errWrite.Reset();
  std::thread errReader([&] { Drain(errRead.Get(), result.err); });
  std::thread outReader([&] { Drain(outRead.Get(), result.out); });
  if (WaitForSingleObject(process.Get(), timeoutMs) != WAIT_OBJECT_0) {
    result.timedOut = true;
    TerminateProcess(process.Get(), 0xDEAD);
    WaitForSingleObject(process.Get(), 5000);
  }
  outReader.join();
  errReader.join();
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  result.exitCode = code;
  return result;
}

}  // namespace kelm::test
