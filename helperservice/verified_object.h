#pragma once
// Files and folders the service checks and changes only through a handle of the object
// itself, never by name: a link planted at the path is never followed into a change.
#include <windows.h>

#include <string>

#include "core/win_handle.h"

namespace kelm::service {

// Opens the object at `path` as itself (FILE_FLAG_OPEN_REPARSE_POINT with
// FILE_FLAG_BACKUP_SEMANTICS, every sharing mode, OPEN_EXISTING). On failure `error`
// holds the Windows error.
WinHandle OpenAsItself(const std::wstring& path, DWORD access, DWORD& error);

bool IsMissingError(DWORD error);

struct ObjectFacts {
  bool atPath = false;     // the handle's final path is the path (not a followed link)
  bool readable = false;   // attributes could be read
  bool reparse = false;
  bool directory = false;
};
ObjectFacts FactsOf(HANDLE h, const std::wstring& path);

// Applies the owner and the protected DACL of `sddl` through the handle (opened with
// WRITE_DAC and WRITE_OWNER).
bool ApplyDescriptor(HANDLE h, const wchar_t* sddl);

// CreateDirectoryW with the descriptor of `sddl`; false with `error` set otherwise.
bool CreateFolderWithDescriptor(const std::wstring& path, const wchar_t* sddl, DWORD& error);

// Access for a folder that is checked, secured and maybe moved aside.
inline constexpr DWORD kFolderCheckAccess =
    FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC | WRITE_OWNER | DELETE;

}  // namespace kelm::service
