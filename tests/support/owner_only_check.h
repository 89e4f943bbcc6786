#pragma once
// Checks that an object's access list lets the current user, and nobody else, in.
#include <windows.h>

#include <string>

namespace kelm::test {

// Empty when the DACL holds exactly one entry, an allow entry for the current user;
// otherwise what is wrong.
std::string OwnerOnlyProblem(PACL dacl);
std::string KernelObjectOwnerOnlyProblem(HANDLE object);
std::string FileOwnerOnlyProblem(const std::wstring& path);

}  // namespace kelm::test
