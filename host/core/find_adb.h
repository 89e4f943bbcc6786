#pragma once
// Locating adb.exe: the environment's SDK variables, then beside the program.
#include <string>
#include <string_view>

namespace kelm {

// The full path of the first adb.exe found, or empty. PATH is not searched.
std::wstring FindAdb();

// The same search with `programDir` standing for the running program's folder.
std::wstring FindAdbFor(const std::wstring& programDir);

// A drive path ("C:\...") or a UNC path ("\\server\..."): one that names the same
// file whatever the current folder is.
bool IsAbsolutePath(std::wstring_view path);

// The adb to run for a given `--adb` path: empty searches (FindAdbFor); an absolute
// path is tidied; a relative one is taken from the program's folder, never from the
// current folder, which may be any folder (a file sent from Downloads starts the
// program there) and must not decide which program runs.
std::wstring ResolveAdbPath(const std::wstring& given, const std::wstring& programDir);

}  // namespace kelm
