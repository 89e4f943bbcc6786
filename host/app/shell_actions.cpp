// File-open dialog, SHOpenFolderAndSelectItems and ShellExecuteW.
#include "app/shell_actions.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include "core/com_apartment.h"
#include "core/unique_any.h"

namespace kelm {

std::vector<std::wstring> ChooseFiles(HWND owner, const std::wstring& title, const std::wstring& okLabel) {
  std::vector<std::wstring> paths;
  Microsoft::WRL::ComPtr<IFileOpenDialog> dialog;
  if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&dialog)))) {
    return paths;
  }
  FILEOPENDIALOGOPTIONS options = 0;
  if (SUCCEEDED(dialog->GetOptions(&options))) {
    dialog->SetOptions(options | FOS_ALLOWMULTISELECT | FOS_FILEMUSTEXIST | FOS_FORCEFILESYSTEM);
  }
  dialog->SetTitle(title.c_str());
  dialog->SetOkButtonLabel(okLabel.c_str());
  if (FAILED(dialog->Show(owner))) return paths;
  Microsoft::WRL::ComPtr<IShellItemArray> items;
  if (FAILED(dialog->GetResults(&items))) return paths;
  DWORD count = 0;
  if (FAILED(items->GetCount(&count))) return paths;
  for (DWORD i = 0; i < count; ++i) {
    Microsoft::WRL::ComPtr<IShellItem> item;
    if (FAILED(items->GetItemAt(i, &item))) continue;
    CoTaskMem<wchar_t> name;
    if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, name.Put())) && name) paths.emplace_back(name.Get());
  }
  return paths;
}

void OpenFolderAndSelect(const std::wstring& path) {
  using ItemList = UniqueAny<PIDLIST_ABSOLUTE, &ILFree>;
  ItemList list(ILCreateFromPathW(path.c_str()));
  if (!list) return;
  SHOpenFolderAndSelectItems(list.Get(), 0, nullptr, 0);
}

void ShellOpen(const std::wstring& text) {
  ShellExecuteW(nullptr, L"open", text.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace kelm
