#include "core/paths.h"

#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>

#include <format>

#include "core/com_apartment.h"
#include "core/text.h"

namespace kelm {
namespace {
std::wstring& ProfileStorage() {
  static std::wstring dir;
  return dir;
}
}  // namespace

void SetProfileDir(const std::wstring& dir) {
  std::wstring full = dir;
  if (!dir.empty()) {
    const DWORD needed = GetFullPathNameW(dir.c_str(), 0, nullptr, nullptr);
    if (needed != 0) {
      full.assign(needed, L'\0');
      full.resize(GetFullPathNameW(dir.c_str(), needed, full.data(), nullptr));
    }
    // "D:\p\" and "D:\p" are one folder; a drive's root keeps its separator.
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) {
      full.pop_back();
    }
  }
  ProfileStorage() = full;
}
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
    CreateFolderWithParents(ProfileDir());
    return ProfileDir();
  }
  CoTaskMem<wchar_t> known;
  std::wstring dir;
  if (SUCCEEDED(SHGetKnownFolderPath(knownFolder, KF_FLAG_CREATE, nullptr, known.Put())) && known) {
    dir = known.Get();
  }
  if (dir.empty()) {
    return ExecutableDir();
  }
  dir += L"\\tavro";
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

unsigned long CreateFolderWithParents(const std::wstring& dir) {
  const DWORD attributes = GetFileAttributesW(dir.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ERROR_SUCCESS : ERROR_DIRECTORY;
  }
  const size_t cut = dir.find_last_of(L"\\/");
  // Stop at a drive ("C:") or the start of a UNC name; those are never created.
  if (cut != std::wstring::npos && cut > 0 && dir[cut - 1] != L':' && dir[cut - 1] != L'\\') {
    const DWORD parent = CreateFolderWithParents(dir.substr(0, cut));
    if (parent != ERROR_SUCCESS) {
      return parent;
    }
  }
  if (CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
    return ERROR_SUCCESS;
  }
  return GetLastError();
}

bool PrepareDataDirs(std::string& error) {
  const std::wstring dirs[] = {LocalDataDir(), RoamingDataDir()};
  for (const std::wstring& dir : dirs) {
    const DWORD created = CreateFolderWithParents(dir);
    if (created != ERROR_SUCCESS) {
      error = std::format("Cannot create the folder \"{}\": {}", WideToUtf8(dir), Win32ErrorText(created));
      return false;
    }
    // A file that removes itself when closed shows whether the folder takes files.
    const std::wstring probe = dir + L"\\.tavro-write-check-" + std::to_wstring(GetCurrentProcessId());
    HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = std::format("Cannot write in the folder \"{}\": {}", WideToUtf8(dir), Win32ErrorText(GetLastError()));
      return false;
    }
    CloseHandle(file);
  }
  return true;
}

std::wstring LocalDataDir() { return DataDir(FOLDERID_LocalAppData); }
std::wstring RoamingDataDir() { return DataDir(FOLDERID_RoamingAppData); }

}  // namespace kelm
