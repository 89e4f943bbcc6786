// The fake lock agent as a program of its own, for tests that run the real host:
//   fake_lock_agent [--session N | --pipe NAME] [--size WxH] [--fps N] [--impostor]
//                   [--silent] [--no-read]
// It serves until it is ended, printing "ready", each connection and each input message.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "support/fake_lock_agent.h"

int wmain(int argc, wchar_t** argv) {
  kelm::test::FakeLockAgent::Options options;
  options.pipeName = L"\\\\.\\pipe\\tavro.LockScreen.1";
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == L"--session" && hasValue) {
      options.pipeName = L"\\\\.\\pipe\\tavro.LockScreen." + std::wstring(argv[++i]);
    } else if (arg == L"--pipe" && hasValue) {
      options.pipeName = argv[++i];
    } else if (arg == L"--size" && hasValue) {
      if (swscanf(argv[++i], L"%ux%u", &options.width, &options.height) != 2) return 2;
    } else if (arg == L"--fps" && hasValue) {
      options.fps = static_cast<uint32_t>(_wtoi(argv[++i]));
    } else if (arg == L"--impostor") {
      options.systemOwned = false;
    } else if (arg == L"--silent") {
      options.silent = true;
    } else if (arg == L"--no-read") {
      options.reading = false;
    } else {
      std::fwprintf(stderr, L"unknown argument %ls\n", arg.c_str());
      return 2;
    }
  }
  options.onLine = [](const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  };
  kelm::test::FakeLockAgent agent;
  if (!agent.Start(options)) {
    std::fprintf(stderr, "cannot create the pipe: %lu\n", GetLastError());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}
