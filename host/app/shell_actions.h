#pragma once
// Shell helpers of the tray application: the file picker, Explorer on a file, and
// opening links and folders.
#include <windows.h>

#include <string>
#include <vector>

namespace kelm {

// The chosen files; none when cancelled or on any failure.
std::vector<std::wstring> ChooseFiles(HWND owner, const std::wstring& title, const std::wstring& okLabel);
void OpenFolderAndSelect(const std::wstring& path);
void ShellOpen(const std::wstring& text);

}  // namespace kelm
