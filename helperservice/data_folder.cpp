// The data folder check: everything is decided and changed through a handle of the
// object at the path, and a folder that cannot be made trustworthy is not used.
#include "data_folder.h"

#include <windows.h>

#include <array>
#include <string>

#include "core/final_path.h"
#include "trusted_owner.h"
#include "verified_object.h"

namespace kelm::service {
namespace {

constexpr std::array<const wchar_t*, 5> kCheckedFiles = {
    L"service.log", L"service.log.1", L"lock-agent.log", L"lock-agent.log.1", L"driver.log"};

std::wstring DataFolderPath() {
  std::array<wchar_t, 260> buf{};
  const DWORD n = GetEnvironmentVariableW(L"ProgramData", buf.data(), static_cast<DWORD>(buf.size()));
  std::wstring base = (n == 0 || n >= buf.size()) ? std::wstring(L"C:\\ProgramData") : std::wstring(buf.data(), n);
  return base + L"\\tavro";
}

enum class Verdict { Trusted, MoveAside, Refuse };

// What to do with the object behind `h`. A handle that is not the object at the path
// (a link the system followed) is refused outright: nothing is done through it.
Verdict Judge(HANDLE h, const std::wstring& path) {
  const ObjectFacts facts = FactsOf(h, path);
  if (!facts.atPath || !facts.readable) return Verdict::Refuse;
  if (facts.reparse || !facts.directory) return Verdict::MoveAside;
  bool trusted = false;
  if (!OwnerOfHandle(h, trusted)) return Verdict::Refuse;
  return trusted ? Verdict::Trusted : Verdict::MoveAside;
}

// Moves the object aside by handle, or else deletes it by handle (an empty folder or
// a junction itself).
bool MoveAside(HANDLE h, const std::wstring& path) {
  const std::wstring aside = path + L".untrusted-" + std::to_wstring(GetTickCount64());
  return RenameByHandle(h, aside, false) || DeleteByHandle(h);
}

// Opens the folder again and secures it only when it is a trusted folder at the path.
bool VerifyAndSecure(const std::wstring& path, const wchar_t* sddl) {
  DWORD error = 0;
  WinHandle h = OpenAsItself(path, kFolderCheckAccess, error);
  return h && Judge(h.Get(), path) == Verdict::Trusted && ApplyDescriptor(h.Get(), sddl);
}

// Deletes a listed file that is a link, has a second name or has an untrusted owner.
void CleanListedFile(const std::wstring& path) {
  DWORD error = 0;
  WinHandle h = OpenAsItself(path, DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, error);
  if (!h || !HandleIsAtPath(h.Get(), path)) return;  // missing, or a link we never act through
  BY_HANDLE_FILE_INFORMATION info{};
  bool remove = !GetFileInformationByHandle(h.Get(), &info) ||
                (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1;
  bool trusted = true;
  if (!remove && OwnerOfHandle(h.Get(), trusted)) remove = !trusted;
  if (remove) DeleteByHandle(h.Get());
}

struct CheckedFolder {
  std::wstring path;
  bool trusted = false;
};

const CheckedFolder& Checked() {
  static const CheckedFolder folder = [] {
    CheckedFolder f;
    f.path = DataFolderPath();
    f.trusted = SecureDataFolder(f.path);
    return f;
  }();
  return folder;
}

}  // namespace

bool SecureDataFolder(const std::wstring& path) {
  bool movedAside = false;
  {
    DWORD error = 0;
    WinHandle h = OpenAsItself(path, kFolderCheckAccess, error);
    if (!h && !IsMissingError(error)) return false;
    if (h) {
      switch (Judge(h.Get(), path)) {
        case Verdict::Refuse: return false;
        case Verdict::MoveAside:
          if (!MoveAside(h.Get(), path)) return false;
          movedAside = true;
          break;
        case Verdict::Trusted: break;
      }
    }
  }
  DWORD error = 0;
  // After a move-aside the folder must be ours: one planted meanwhile is refused.
  if (!CreateFolderWithDescriptor(path, kDataFolderSddl, error) &&
      (error != ERROR_ALREADY_EXISTS || movedAside)) {
    return false;
  }
  if (!VerifyAndSecure(path, kDataFolderSddl)) return false;
  for (const wchar_t* name : kCheckedFiles) CleanListedFile(path + L"\\" + name);
  return true;
}

const std::wstring& ServiceDataFolder() { return Checked().path; }
bool ServiceDataFolderTrusted() { return Checked().trusted; }

std::wstring UpdatesFolder() { return ServiceDataFolder() + L"\\updates"; }

bool PrepareUpdatesFolder() {
  if (!ServiceDataFolderTrusted()) return false;
  const std::wstring path = UpdatesFolder();
  bool removed = false;
  {
    DWORD error = 0;
    WinHandle h = OpenAsItself(path, kFolderCheckAccess, error);
    if (!h && !IsMissingError(error)) return false;
    if (h) {
      const ObjectFacts facts = FactsOf(h.Get(), path);
      if (!facts.atPath || !facts.readable) return false;
      if (facts.reparse || !facts.directory) {
        if (!DeleteByHandle(h.Get())) return false;
        removed = true;
      }
    }
  }
  DWORD error = 0;
  if (!CreateFolderWithDescriptor(path, kUpdatesFolderSddl, error) &&
      (error != ERROR_ALREADY_EXISTS || removed)) {
    return false;
  }
  DWORD openError = 0;
  WinHandle h = OpenAsItself(path, kFolderCheckAccess, openError);
  if (!h) return false;
  const ObjectFacts facts = FactsOf(h.Get(), path);
  return facts.atPath && facts.readable && facts.directory && !facts.reparse &&
         ApplyDescriptor(h.Get(), kUpdatesFolderSddl);
}

}  // namespace kelm::service
