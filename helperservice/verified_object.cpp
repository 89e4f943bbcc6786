// Opening an object as itself and reading what it is, through its handle.
#include "verified_object.h"

#include <aclapi.h>
#include <sddl.h>

#include "core/final_path.h"

namespace kelm::service {
namespace {

// A descriptor made from SDDL text, freed with LocalFree.
struct Descriptor {
  PSECURITY_DESCRIPTOR sd = nullptr;
  explicit Descriptor(const wchar_t* sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr)) sd = nullptr;
  }
  ~Descriptor() { LocalFree(sd); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

}  // namespace

WinHandle OpenAsItself(const std::wstring& path, DWORD access, DWORD& error) {
  WinHandle h(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                          nullptr));
  error = h ? ERROR_SUCCESS : GetLastError();
  return h;
}

bool IsMissingError(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

ObjectFacts FactsOf(HANDLE h, const std::wstring& path) {
  ObjectFacts facts;
  facts.atPath = HandleIsAtPath(h, path);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag))) {
    facts.readable = true;
    facts.reparse = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    facts.directory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  }
  return facts;
}

bool ApplyDescriptor(HANDLE h, const wchar_t* sddl) {
  Descriptor d(sddl);
  if (d.sd == nullptr) return false;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL ownerDefaulted = FALSE, daclPresent = FALSE, daclDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(d.sd, &owner, &ownerDefaulted) ||
      !GetSecurityDescriptorDacl(d.sd, &daclPresent, &dacl, &daclDefaulted) || !daclPresent) {
    return false;
  }
  return SetSecurityInfo(h, SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                             PROTECTED_DACL_SECURITY_INFORMATION,
                         owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool CreateFolderWithDescriptor(const std::wstring& path, const wchar_t* sddl, DWORD& error) {
  Descriptor d(sddl);
  if (d.sd == nullptr) {
    error = GetLastError();
    return false;
  }
  SECURITY_ATTRIBUTES sa{sizeof(sa), d.sd, FALSE};
  if (!CreateDirectoryW(path.c_str(), &sa)) {
    error = GetLastError();
    return false;
  }
  error = ERROR_SUCCESS;
  return true;
}

}  // namespace kelm::service
