#include "core/paths.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

namespace kelm {
namespace {
std::wstring& ProfileStorage() {
  static std::wstring dir;
  return dir;
}
}  // namespace

void SetProfileDir(const std::wstring& dir) { ProfileStorage() = dir; }
const std::wstring& ProfileDir() { return ProfileStorage(); }

std::wstring ExecutablePath() {
  std::wstring buffer(260, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    buffer.resize(buffer.size() * 2);
  }
}

std::wstring ExecutableDir() {
  std::wstring path = ExecutablePath();
  const size_t cut = path.find_last_of(L"\\/");
  if (cut != std::wstring::npos) {
    path.resize(cut);
  }
  return path;
}

std::wstring DataDir(const GUID& knownFolder) {
  if (!ProfileDir().empty()) {
    CreateDirectoryW(ProfileDir().c_str(), nullptr);
    return ProfileDir();
  }
  PWSTR known = nullptr;
  std::wstring dir;
  if (SUCCEEDED(SHGetKnownFolderPath(knownFolder, KF_FLAG_CREATE, nullptr, &known)) && known != nullptr) {
    dir = known;
  }
  CoTaskMemFree(known);
  if (dir.empty()) {
    return ExecutableDir();
  }
  dir += L"\\tavro";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

std::wstring LocalDataDir() { return DataDir(FOLDERID_LocalAppData); }
std::wstring RoamingDataDir() { return DataDir(FOLDERID_RoamingAppData); }

}  // namespace kelm
