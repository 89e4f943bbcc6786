// Final-path comparison and by-handle rename and delete.
#include "core/final_path.h"

#include <vector>

namespace kelm {
namespace {

std::wstring StripLongPrefix(std::wstring p) {
  if (p.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + p.substr(8);
  if (p.starts_with(L"\\\\?\\")) return p.substr(4);
  return p;
}


}  // namespace

std::wstring FinalPathOf(HANDLE h) {
  std::vector<wchar_t> buf(MAX_PATH + 1);
  for (;;) {
    const DWORD n = GetFinalPathNameByHandleW(h, buf.data(), static_cast<DWORD>(buf.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return {};
    if (n < buf.size()) return StripLongPrefix(std::wstring(buf.data(), n));
    buf.resize(n + 1);
  }
}

std::wstring ComparablePath(const std::wstring& path) {
  std::wstring full = path;
  if (const DWORD n = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr); n > 0) {
    std::vector<wchar_t> buf(n);
    const DWORD got = GetFullPathNameW(path.c_str(), n, buf.data(), nullptr);
    if (got > 0 && got < n) full.assign(buf.data(), got);
  }
  if (const DWORD n = GetLongPathNameW(full.c_str(), nullptr, 0); n > 0) {
    std::vector<wchar_t> buf(n);
    const DWORD got = GetLongPathNameW(full.c_str(), buf.data(), n);
    if (got > 0 && got < n) full.assign(buf.data(), got);
  }
  full = StripLongPrefix(std::move(full));
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return full;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  const std::wstring x = ComparablePath(a), y = ComparablePath(b);
  return CompareStringOrdinal(x.data(), static_cast<int>(x.size()), y.data(), static_cast<int>(y.size()), TRUE) ==
         CSTR_EQUAL;
}

bool HandleIsAtPath(HANDLE h, const std::wstring& path) {
  const std::wstring final = FinalPathOf(h);
  return !final.empty() && SamePath(final, path);
}

bool RenameByHandle(HANDLE h, const std::wstring& newPath, bool replaceExisting) {
  const size_t bytes = sizeof(FILE_RENAME_INFO) + newPath.size() * sizeof(wchar_t);
  std::vector<unsigned char> buf(bytes, 0);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
  info->ReplaceIfExists = replaceExisting ? TRUE : FALSE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(newPath.size() * sizeof(wchar_t));
  newPath.copy(info->FileName, newPath.size());
  return SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(bytes)) != FALSE;
}

bool DeleteByHandle(HANDLE h) {
  FILE_DISPOSITION_INFO info{};
  info.DeleteFile = TRUE;
  return SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof(info)) != FALSE;
}

}  // namespace kelm
