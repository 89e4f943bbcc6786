#pragma once
// Locating adb.exe: the environment's SDK variables, then beside the program.
#include <string>

namespace kelm {

// The full path of the first adb.exe found, or empty. PATH is not searched.
std::wstring FindAdb();

// The same search with `programDir` standing for the running program's folder.
std::wstring FindAdbFor(const std::wstring& programDir);

}  // namespace kelm
