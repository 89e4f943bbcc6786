#include "support/child_process.h"

#include "support/temp_dir.h"

namespace kelm::test {

ChildProcess::~ChildProcess() {
  if (thread_ != nullptr) {
    CloseHandle(thread_);
  }
  if (process_ != nullptr) {
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_, 0xDEAD);
      WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
  }
}

bool ChildProcess::Start(const std::wstring& commandLine, const std::wstring& outputPath, const Options& options) {
  outputPath_ = outputPath;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(outputPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return false;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  std::wstring line = commandLine;
  const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, options.suspended ? CREATE_SUSPENDED : 0,
                                 nullptr, options.currentDir.empty() ? nullptr : options.currentDir.c_str(), &si, &pi);
  CloseHandle(out);
  if (!ok) return false;
  if (options.suspended) {
    thread_ = pi.hThread;
  } else {
    CloseHandle(pi.hThread);
  }
  process_ = pi.hProcess;
  processId_ = pi.dwProcessId;
  return true;
}

bool ChildProcess::Resume() {
  if (thread_ == nullptr) return false;
  const bool resumed = ResumeThread(thread_) != static_cast<DWORD>(-1);
  CloseHandle(thread_);
  thread_ = nullptr;
  return resumed;
}

std::string ChildProcess::Output() const { return ReadFileBytes(outputPath_); }

bool ChildProcess::WaitForOutput(const std::string& text, uint32_t timeoutMs) const {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (Output().find(text) != std::string::npos) return true;
    if (GetTickCount64() >= deadline || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0) {
      return Output().find(text) != std::string::npos;
    }
    Sleep(50);
  }
}

bool ChildProcess::Wait(uint32_t timeoutMs, uint32_t& exitCode) {
  if (WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  exitCode = code;
  return true;
}

}  // namespace kelm::test
