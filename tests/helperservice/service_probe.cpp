// Test helper: "query" prints the tavroHelper service's state and configuration as one
// JSON line ({"exists":false,"error":1060} when it is missing); "press-box SECONDS"
// waits for the "#32770" window titled "tavro", prints its text as JSON and presses OK;
// "wait-exit PID SECONDS" prints "watching", then the process's exit code once it ends;
// "pipe-owner NAME" connects to the pipe and prints its owner's SID as JSON;
// "memory PID" prints the process's commit charge in bytes.
#include <windows.h>
#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/text.h"
#include "core/unique_any.h"

namespace {

using ScHandle = kelm::UniqueAny<SC_HANDLE, &CloseServiceHandle>;

void Print(const nlohmann::json& j) {
  std::printf("%s\n", j.dump().c_str());
  std::fflush(stdout);
}

std::string Text(const wchar_t* s) { return s ? kelm::WideToUtf8(s) : std::string(); }

int Query() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return Print({{"exists", false}, {"error", GetLastError()}}), 1;
  ScHandle service(OpenServiceW(manager.Get(), L"tavroHelper", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) return Print({{"exists", false}, {"error", GetLastError()}}), 0;
  nlohmann::json j = {{"exists", true}};
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                           &needed)) {
    j["state"] = status.dwCurrentState;
    j["pid"] = status.dwProcessId;
  }
  QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
  std::vector<BYTE> config(needed);
  if (needed && QueryServiceConfigW(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()), needed,
                                    &needed)) {
    const auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data());
    j["imagePath"] = Text(c->lpBinaryPathName);
    j["start"] = c->dwStartType;
    j["errorControl"] = c->dwErrorControl;
    j["displayName"] = Text(c->lpDisplayName);
    j["type"] = c->dwServiceType;
  }
  needed = 0;
  QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
  std::vector<BYTE> description(needed);
  if (needed && QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, description.data(), needed, &needed)) {
    j["description"] = Text(reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data())->lpDescription);
  }
  Print(j);
  return 0;
}

int WaitExit(DWORD pid, unsigned long seconds) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return Print({{"opened", false}}), 1;
  std::printf("watching\n");
  std::fflush(stdout);
  const bool ended = WaitForSingleObject(process, seconds * 1000) == WAIT_OBJECT_0;
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  CloseHandle(process);
  if (!ended) return Print({{"ended", false}}), 1;
  Print({{"ended", true}, {"exitCode", code}});
  return 0;
}

// Wine fills PagefileUsage and leaves PrivateUsage at 0; Windows reports them equal.
int Memory(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return Print({{"opened", false}, {"error", GetLastError()}}), 1;
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  const bool got = GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
  CloseHandle(process);
  if (!got) return Print({{"error", GetLastError()}}), 1;
  Print({{"private", std::max<SIZE_T>(counters.PrivateUsage, counters.PagefileUsage)},
         {"workingSet", counters.WorkingSetSize}});
  return 0;
}

int PressBox(unsigned long seconds) {
  const ULONGLONG deadline = GetTickCount64() + seconds * 1000ULL;
  while (GetTickCount64() < deadline) {
    if (HWND box = FindWindowW(L"#32770", L"tavro")) {
      wchar_t text[512] = {};
      GetDlgItemTextW(box, 0xFFFF, text, 512);  // the message box's text control
      Print({{"found", true}, {"text", kelm::WideToUtf8(text)}});
      PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
      return 0;
    }
    Sleep(50);
  }
  Print({{"found", false}});
  return 1;
}

}  // namespace

int PipeOwner(const wchar_t* name) {
  const HANDLE pipe = CreateFileW(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return Print({{"error", GetLastError()}}), 1;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD got = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                                    nullptr, &sd);
  wchar_t* text = nullptr;
  const bool ok = got == ERROR_SUCCESS && ConvertSidToStringSidW(owner, &text);
  Print(ok ? nlohmann::json{{"owner", Text(text)}} : nlohmann::json{{"error", got}});
  LocalFree(text);
  LocalFree(sd);
  CloseHandle(pipe);
  return ok ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
  const std::wstring_view command = argc > 1 ? argv[1] : L"";
  if (command == L"query") return Query();
  if (command == L"memory" && argc > 2) return Memory(std::wcstoul(argv[2], nullptr, 10));
  if (command == L"pipe-owner" && argc > 2) return PipeOwner(argv[2]);
  if (command == L"wait-exit" && argc > 3) return WaitExit(std::wcstoul(argv[2], nullptr, 10), std::wcstoul(argv[3], nullptr, 10));
  if (command == L"press-box") return PressBox(argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : 20);
  return 2;
}
