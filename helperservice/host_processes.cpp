// Finding, checking and starting the host program from the service.
#include "host_processes.h"

#include <tlhelp32.h>
#include <userenv.h>

#include <array>
#include <cwchar>
#include <string_view>
#include <vector>

#include "core/final_path.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "core/unique_any.h"
#include "core/win_handle.h"
#include "service_names.h"

namespace kelm::service {
namespace {

BOOL DestroyBlock(void* block) { return DestroyEnvironmentBlock(block); }
using EnvironmentBlock = UniqueAny<void*, &DestroyBlock>;

}  // namespace

bool HostRunsInSession(uint32_t session) {
  WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return true;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    DWORD owner = 0;
    if (CompareStringOrdinal(entry.szExeFile, -1, kHostExeName, -1, TRUE) == CSTR_EQUAL && ProcessIdToSessionId(entry.th32ProcessID, &owner) &&
        owner == session) {
      return true;
    }
  }
  return false;
}

bool IsInstalledHostClient(HANDLE pipe) { return IsInstalledHostClient(pipe, ExecutableDir()); }

bool IsInstalledHostClient(HANDLE pipe, const std::wstring& installDir) {
  ULONG pid = 0;
  if (!GetNamedPipeClientProcessId(pipe, &pid)) return false;
  WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return false;
  std::array<wchar_t, 520> image{};
  DWORD size = static_cast<DWORD>(image.size());
  const bool read = QueryFullProcessImageNameW(process.Get(), 0, image.data(), &size) != FALSE;
  if (!read || !SamePath(std::wstring(image.data(), size), installDir + L"\\" + kHostExeName)) {
    LogWarn("Refused a lock screen pipe client that isn't the installed tavro.exe");
    return false;
  }
  return true;
}

std::vector<wchar_t> OverrideEnvironment(const wchar_t* block, const EnvironmentOverrides& overrides) {
  std::vector<wchar_t> out;
  for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
    const std::wstring_view text(entry);
    // "=C:=C:\\..." entries keep their leading '='.
    const size_t equals = text.find(L'=', 1);
    const std::wstring_view name = text.substr(0, equals);
    bool replaced = false;
    for (const auto& variable : overrides) {
      replaced = replaced || CompareStringOrdinal(name.data(), static_cast<int>(name.size()), variable.first.c_str(),
                                                  -1, TRUE) == CSTR_EQUAL;
    }
    if (!replaced) out.insert(out.end(), entry, entry + text.size() + 1);
  }
  for (const auto& [name, value] : overrides) {
    const std::wstring entry = name + L"=" + value;
    out.insert(out.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  }
  if (out.empty()) out.push_back(L'\0');
  out.push_back(L'\0');
  return out;
}

bool StartProcessAsUser(HANDLE token, const std::wstring& applicationPath, const std::wstring& commandLine,
                        const std::wstring& currentDir, bool suspended, PROCESS_INFORMATION& pi,
                        const EnvironmentOverrides& overrides) {
  EnvironmentBlock environment;
  if (!CreateEnvironmentBlock(environment.Put(), token, FALSE)) {
    LogError("Starting {} failed: {}", WideToUtf8(applicationPath), GetLastError());
    return false;
  }
  std::wstring desktop = L"winsta0\\default";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.lpDesktop = desktop.data();
  std::vector<wchar_t> cmd(commandLine.begin(), commandLine.end());
  cmd.push_back(L'\0');
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (suspended ? CREATE_SUSPENDED : 0);
  pi = {};
  std::vector<wchar_t> changed;
  if (!overrides.empty()) changed = OverrideEnvironment(static_cast<const wchar_t*>(environment.Get()), overrides);
  void* block = overrides.empty() ? environment.Get() : static_cast<void*>(changed.data());
  if (!CreateProcessAsUserW(token, applicationPath.c_str(), cmd.data(), nullptr, nullptr, FALSE, flags, block,
                            currentDir.c_str(), &si, &pi)) {
    LogError("Starting {} failed: {}", WideToUtf8(applicationPath), GetLastError());
    return false;
  }
  return true;
}

}  // namespace kelm::service
