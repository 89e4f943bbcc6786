// Stands in for tavro.exe in a test install folder: appends one JSON line about its
// start (process id, session, command line, current folder, desktop, whether the
// parent's test variable reached it) to "starts.jsonl" beside itself and exits.
// "--connect-pipe NAME" first connects to a pipe and stays until the server closes
// it; "--wait-ms N" stays N ms after recording.
// "--ask CHANNEL VERSION [--watchdog MS]" asks the service to install an update and
// prints the result and the service's text; "--raw HEX [--read-reply] [--hold MS]"
// writes raw bytes to the service pipe, then reads one reply and prints it (with the
// time until the reply or the end of the pipe) or stays MS before closing. "--wait MS"
// stays MS ms before exiting (a host still in its session). "--try-change PATH" prints
// the Windows errors of opening PATH for writing, deleting it and renaming it (0: done).
// "--squat MS" holds the service pipe's name for MS ms. For the benchmark: "--repeat N"
// asks N times and prints "times" with each request's milliseconds; "--get URL" reads
// URL with plain WinHTTP into a buffer and prints "got BYTES MS".
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/encoding.h"
#include "update/service_pipe_client.h"

#include "core/paths.h"
#include "core/text.h"
#include "core/unique_any.h"
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


std::string Narrow(const wchar_t* text) { return kelm::WideToUtf8(text); }

double Milliseconds(const LARGE_INTEGER& from) {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(now.QuadPart - from.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// `repeat` 0: one request, untimed.
int Ask(const std::string& channel, const std::string& version, uint64_t watchdogMs, int repeat) {
  kelm::update::ServicePipeSettings settings;
  settings.replyWaitMs = watchdogMs;
  std::string times = "times";
  for (int i = 0; i < std::max(1, repeat); ++i) {
    std::string error;
    // A timed request starts once the service listens again after the previous one.
    if (repeat > 0) WaitNamedPipeW(kelm::update::kServicePipeName, 5000);
    LARGE_INTEGER start{};
    QueryPerformanceCounter(&start);
    const auto result = kelm::update::AskServiceToInstall(channel, version, error, settings);
    const double ms = Milliseconds(start);
    std::printf("%u %s\n", static_cast<unsigned>(result), error.c_str());
    std::fflush(stdout);
    times += " " + std::to_string(ms);
  }
  if (repeat > 0) std::printf("%s\n", times.c_str());
  std::fflush(stdout);
  return 0;
}

// One plain GET into a buffer of the announced size, as a download without our checks.
int Get(const wchar_t* url) {
  URL_COMPONENTS parts{sizeof parts};
  std::array<wchar_t, 256> host{};
  std::array<wchar_t, 2048> path{};
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = static_cast<DWORD>(host.size());
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  if (!WinHttpCrackUrl(url, 0, 0, &parts)) return std::printf("bad url\n"), 1;
  LARGE_INTEGER start{};
  QueryPerformanceCounter(&start);
  using Internet = kelm::UniqueAny<HINTERNET, &WinHttpCloseHandle>;
  Internet session(WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, nullptr, nullptr, 0));
  Internet connection(WinHttpConnect(session.Get(), host.data(), parts.nPort, 0));
  Internet request(WinHttpOpenRequest(connection.Get(), L"GET", path.data(), nullptr, nullptr, nullptr,
                                      parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  if (!request || !WinHttpSendRequest(request.Get(), nullptr, 0, nullptr, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.Get(), nullptr)) {
    return std::printf("request failed %lu\n", GetLastError()), 1;
  }
  DWORD length = 0, lengthBytes = sizeof length;
  WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER, nullptr, &length,
                      &lengthBytes, nullptr);
  std::vector<char> buffer(length);
  uint64_t total = 0;
  DWORD read = 0;
  while (total < buffer.size() &&
         WinHttpReadData(request.Get(), buffer.data() + total,
                         static_cast<DWORD>(std::min<uint64_t>(buffer.size() - total, 1 << 20)), &read) &&
         read > 0) {
    total += read;
  }
  std::printf("got %llu %f\n", static_cast<unsigned long long>(total), Milliseconds(start));
  return 0;
}

kelm::WinHandle OpenServicePipe() {
  for (int i = 0; i < 200; ++i) {
    kelm::WinHandle pipe(CreateFileW(kelm::update::kServicePipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    if (pipe) return pipe;
    Sleep(25);
  }
  return {};
}

// Reads what the service sends until it closes the pipe.
int Raw(const std::string& hex, bool readReply, DWORD holdMs) {
  const auto bytes = kelm::HexDecode(hex);
  if (!bytes) return 2;
  kelm::WinHandle pipe = OpenServicePipe();
  if (!pipe) {
    std::printf("no pipe %lu\n", GetLastError());
    return 1;
  }
  const ULONGLONG start = GetTickCount64();
  DWORD written = 0;
  if (!bytes->empty() && !WriteFile(pipe.Get(), bytes->data(), static_cast<DWORD>(bytes->size()), &written, nullptr)) {
    std::printf("write failed %lu\n", GetLastError());
    return 1;
  }
  if (!readReply) {
    std::printf("sent\n");
    std::fflush(stdout);
    Sleep(holdMs);
    return 0;
  }
  std::vector<uint8_t> got;
  std::array<uint8_t, 4096> buffer{};
  DWORD read = 0;
  while (ReadFile(pipe.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read > 0) {
    got.insert(got.end(), buffer.begin(), buffer.begin() + read);
  }
  const DWORD error = GetLastError();
  const std::string text(got.begin(), got.end());
  if (got.empty()) {
    std::printf("closed %llu %lu\n", GetTickCount64() - start, error);
  } else {
    std::printf("reply %llu %s\n", GetTickCount64() - start, got.size() > 5 ? text.substr(5).c_str() : "");
  }
  std::fflush(stdout);
  return 0;
}

void TryChange(const std::wstring& path) {
  kelm::WinHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr));
  const DWORD writeError = writer ? 0 : GetLastError();
  writer.Reset();
  const DWORD deleteError = DeleteFileW(path.c_str()) ? 0 : GetLastError();
  const DWORD renameError = MoveFileW(path.c_str(), (path + L".moved").c_str()) ? 0 : GetLastError();
  std::printf("%lu %lu %lu\n", writeError, deleteError, renameError);
  std::fflush(stdout);
}

void Squat(DWORD ms) {
  kelm::WinHandle pipe(CreateNamedPipeW(kelm::update::kServicePipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096,
                                        4096, 0, nullptr));
  std::printf(pipe ? "squatting\n" : "squat failed\n");
  std::fflush(stdout);
  Sleep(ms);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  AppendRecord();
  std::string askChannel, askVersion, raw;
  bool ask = false, haveRaw = false, readReply = false;
  uint64_t watchdogMs = 120000;
  DWORD holdMs = 0, waitMs = 0;
  int repeat = 0;
  const wchar_t* getUrl = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view option = argv[i];
    const bool hasValue = i + 1 < argc;
    if (option == L"--connect-pipe" && hasValue) StayConnected(argv[++i]);
    else if (option == L"--wait-ms" && hasValue) Sleep(static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10)));
    else if (option == L"--ask" && i + 2 < argc) {
      ask = true;
      askChannel = Narrow(argv[++i]);
      askVersion = Narrow(argv[++i]);
    } else if (option == L"--watchdog" && hasValue) watchdogMs = std::wcstoull(argv[++i], nullptr, 10);
    else if (option == L"--wait" && hasValue) waitMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
    else if (option == L"--raw" && hasValue) {
      haveRaw = true;
      raw = Narrow(argv[++i]);
    } else if (option == L"--read-reply") readReply = true;
    else if (option == L"--try-change" && hasValue) TryChange(argv[++i]);
    else if (option == L"--squat" && hasValue) Squat(static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10)));
    else if (option == L"--repeat" && hasValue) repeat = std::max(1, _wtoi(argv[++i]));
    else if (option == L"--get" && hasValue) getUrl = argv[++i];
    else if (option == L"--hold" && hasValue) holdMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
  }
  int code = 0;
  if (ask) code = Ask(askChannel, askVersion, watchdogMs, repeat);
  if (getUrl) code = Get(getUrl);
  if (haveRaw) code = Raw(raw, readReply, holdMs);
  Sleep(waitMs);
  return code;
}
