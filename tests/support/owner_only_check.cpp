// Reads an object's DACL and compares it with "the current user only".
#include "support/owner_only_check.h"

#include <aclapi.h>
#include <sddl.h>

#include <format>
#include <vector>

namespace kelm::test {
namespace {

std::vector<unsigned char> CurrentUser() {
  HANDLE token = nullptr;
  std::vector<unsigned char> buffer;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return buffer;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer.resize(size);
  if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) buffer.clear();
  CloseHandle(token);
  return buffer;
}

// The DACL in SDDL form, for failure messages.
std::string DaclText(PACL dacl) {
  SECURITY_DESCRIPTOR sd;
  InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&sd, TRUE, dacl, FALSE);
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&sd, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                            nullptr)) {
    return {};
  }
  std::string out = ": ";
  for (const wchar_t* c = text; *c != 0; ++c) out += static_cast<char>(*c);
  LocalFree(text);
  return out;
}

}  // namespace

std::string OwnerOnlyProblem(PACL dacl) {
  if (dacl == nullptr) return "no DACL (everyone has access)";
  if (dacl->AceCount != 1) return std::format("{} entries in the DACL", dacl->AceCount) + DaclText(dacl);
  void* ace = nullptr;
  if (!GetAce(dacl, 0, &ace)) return "GetAce failed";
  const auto* header = static_cast<const ACE_HEADER*>(ace);
  if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return "the entry is not an allow entry";
  const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
  const std::vector<unsigned char> user = CurrentUser();
  if (user.empty()) return "cannot read the current user";
  const auto* tokenUser = reinterpret_cast<const TOKEN_USER*>(user.data());
  if (!EqualSid(const_cast<DWORD*>(&allowed->SidStart), tokenUser->User.Sid)) return "the entry is for another SID";
  return {};
}

std::string KernelObjectOwnerOnlyProblem(HANDLE object) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD r = GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                  nullptr, &descriptor);
  if (r != ERROR_SUCCESS) return std::format("GetSecurityInfo failed: {}", r);
  std::string problem = OwnerOnlyProblem(dacl);
  LocalFree(descriptor);
  return problem;
}

std::string FileOwnerOnlyProblem(const std::wstring& path) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD r = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                        &dacl, nullptr, &descriptor);
  if (r != ERROR_SUCCESS) return std::format("GetNamedSecurityInfoW failed: {}", r);
  std::string problem = OwnerOnlyProblem(dacl);
  LocalFree(descriptor);
  return problem;
}

}  // namespace kelm::test
