#pragma once
// Whether an open handle is the object at a path, and not something a link at that
// path leads to: the check that keeps files we trust from being redirected.
#include <windows.h>

#include <string>

namespace kelm {

// The handle's final path in its plain form ("C:\dir\name"), empty when unreadable.
std::wstring FinalPathOf(HANDLE h);

// The full, long, plain form of `path` for comparing with a final path.
std::wstring ComparablePath(const std::wstring& path);

// True when both paths name the same place as text: case-insensitively, after both
// are brought to their full long form.
bool SamePath(const std::wstring& a, const std::wstring& b);

// True when the handle's final path equals `path` (case-insensitively, after both
// are brought to their full long form).
bool HandleIsAtPath(HANDLE h, const std::wstring& path);

// Renames the object behind the handle (opened with DELETE access) to `newPath`.
bool RenameByHandle(HANDLE h, const std::wstring& newPath, bool replaceExisting);

// Marks the object behind the handle (opened with DELETE access) for deletion.
bool DeleteByHandle(HANDLE h);

}  // namespace kelm
