#include "core/find_adb.h"

#include <windows.h>

#include <cwctype>
#include <string_view>
#include <vector>

#include "core/paths.h"

namespace kelm {
namespace {

constexpr DWORD kEnvChars = 520;
constexpr DWORD kPathChars = 260;

// Empty when unset, empty, or too long to be a usable folder.
std::wstring EnvValue(const wchar_t* name) {
  wchar_t buffer[kEnvChars];
  const DWORD n = GetEnvironmentVariableW(name, buffer, kEnvChars);
  if (n == 0 || n >= kEnvChars) {
    return {};
  }
  return std::wstring(buffer, n);
}

bool EndsWithNoCase(std::wstring_view text, std::wstring_view suffix) {
  if (text.size() < suffix.size()) {
    return false;
  }
  const std::wstring_view tail = text.substr(text.size() - suffix.size());
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (std::towlower(tail[i]) != std::towlower(suffix[i])) {
      return false;
    }
  }
  return true;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::wstring Absolute(const std::wstring& path) {
  wchar_t buffer[kPathChars];
  const DWORD n = GetFullPathNameW(path.c_str(), kPathChars, buffer, nullptr);
  if (n == 0 || n >= kPathChars) {
    return path;
  }
  return std::wstring(buffer, n);
}

}  // namespace

std::wstring FindAdbFor(const std::wstring& programDir) {
  std::vector<std::wstring> candidates;
  if (std::wstring adb = EnvValue(L"ADB"); !adb.empty()) {
    candidates.push_back(adb);
  }
  if (std::wstring home = EnvValue(L"ANDROID_HOME"); !home.empty()) {
    candidates.push_back(home + L"\\platform-tools\\adb.exe");
  }
  if (std::wstring root = EnvValue(L"ANDROID_SDK_ROOT"); !root.empty()) {
    candidates.push_back(root + L"\\platform-tools\\adb.exe");
  }
  if (std::wstring local = EnvValue(L"LOCALAPPDATA"); !local.empty()) {
    candidates.push_back(local + L"\\Android\\Sdk\\platform-tools\\adb.exe");
  }
  candidates.push_back(programDir + L"\\platform-tools\\adb.exe");
  candidates.push_back(programDir + L"\\adb.exe");
  // A developer's build tree keeps its own platform tools next to the toolchain.
  if (EndsWithNoCase(programDir, L"\\build\\x64\\host")) {
    candidates.push_back(programDir + L"\\..\\..\\..\\.toolchain\\android-sdk\\platform-tools\\adb.exe");
  }
  for (const std::wstring& candidate : candidates) {
    // A relative value (an "ADB" of "adb.exe") would be looked up in the current
    // folder: never run a program from there.
    if (IsAbsolutePath(candidate) && IsFile(candidate)) {
      return Absolute(candidate);
    }
  }
  return {};
}

bool IsAbsolutePath(std::wstring_view path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && separator(path[2])) {
    return true;
  }
  return path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
}

std::wstring ResolveAdbPath(const std::wstring& given, const std::wstring& programDir) {
  if (given.empty()) {
    return FindAdbFor(programDir);
  }
  return Absolute(IsAbsolutePath(given) ? given : programDir + L"\\" + given);
}

// The folder comes from the full module path, never from one cut at 260 characters,
// which could name a parent folder and pick up an unrelated adb.exe there.
std::wstring FindAdb() { return FindAdbFor(ExecutableDir()); }

}  // namespace kelm
