#pragma once
// The executable's location and the per-user data folders, with the --profile override.
#include <string>

#include <guiddef.h>

namespace kelm {

void SetProfileDir(const std::wstring& dir);
const std::wstring& ProfileDir();

std::wstring ExecutablePath();
std::wstring ExecutableDir();

// The profile folder when one is set, else the known folder plus "\tavro" (created),
// else the executable's folder.
std::wstring DataDir(const GUID& knownFolder);
std::wstring LocalDataDir();
std::wstring RoamingDataDir();

}  // namespace kelm
