// Stands in for tavro.exe in a test install folder: appends one JSON line about its
// start (process id, session, command line, current folder, desktop, whether the
// parent's test variable reached it) to "starts.jsonl" beside itself and exits.
// "--connect-pipe NAME" first connects to a pipe and stays until the server closes
// it; "--wait-ms N" stays N ms after recording.
#include <windows.h>

#include <array>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/paths.h"
#include "core/text.h"
#include "core/win_handle.h"

namespace {

std::string ObjectName(HANDLE object) {
  std::array<wchar_t, 256> name{};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(object, UOI_NAME, name.data(), sizeof(name), &needed)) return {};
  return kelm::WideToUtf8(name.data());
}

void AppendRecord() {
  DWORD session = 0xFFFFFFFF;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  std::array<wchar_t, MAX_PATH> cwd{};
  GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data());
  const nlohmann::json record = {
      {"pid", GetCurrentProcessId()},
      {"session", session},
      {"commandLine", kelm::WideToUtf8(GetCommandLineW())},
      {"currentDir", kelm::WideToUtf8(cwd.data())},
      {"desktop", ObjectName(GetProcessWindowStation()) + "\\" + ObjectName(GetThreadDesktop(GetCurrentThreadId()))},
      {"inheritedTestVariable", GetEnvironmentVariableW(L"TAVRO_TEST_PARENT_ONLY", nullptr, 0) != 0},
      {"hasUserProfile", GetEnvironmentVariableW(L"USERPROFILE", nullptr, 0) != 0},
  };
  const std::string line = record.dump() + "\n";
  kelm::WinHandle file(CreateFileW((kelm::ExecutableDir() + L"\\starts.jsonl").c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
  DWORD written = 0;
  if (file) WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

void StayConnected(const std::wstring& pipeName) {
  for (int i = 0; i < 200; ++i) {
    kelm::WinHandle pipe(CreateFileW(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr));
    if (pipe) {
      char byte = 0;
      DWORD got = 0;
      while (ReadFile(pipe.Get(), &byte, 1, &got, nullptr) && got > 0) {
      }
      return;
    }
    Sleep(25);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  AppendRecord();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring_view option = argv[i];
    if (option == L"--connect-pipe") StayConnected(argv[i + 1]);
    if (option == L"--wait-ms") Sleep(static_cast<DWORD>(std::wcstoul(argv[i + 1], nullptr, 10)));
  }
  return 0;
}
