#pragma once
// The executable's location and the per-user data folders, with the --profile override.
#include <string>

#include <guiddef.h>

namespace kelm {

// Keeps `dir` as a full path (a relative one is taken from the current folder now).
void SetProfileDir(const std::wstring& dir);
const std::wstring& ProfileDir();

std::wstring ExecutablePath();
std::wstring ExecutableDir();

// The profile folder when one is set, else the known folder plus "\tavro" (created),
// else the executable's folder.
std::wstring DataDir(const GUID& knownFolder);
std::wstring LocalDataDir();
std::wstring RoamingDataDir();

// Creates the data folders of this run (the profile folder with its parents, or the
// per-user "tavro" folders) and checks that files can be written in them. On failure
// `error` names the folder and the Windows error.
bool PrepareDataDirs(std::string& error);

// Creates `dir` and any missing parents; 0 when it is a folder afterwards, else the
// Windows error.
unsigned long CreateFolderWithParents(const std::wstring& dir);

}  // namespace kelm
