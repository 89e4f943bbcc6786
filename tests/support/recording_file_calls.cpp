// Records durable-write calls and forwards them to the real file system.
#include "support/recording_file_calls.h"

#include "support/owner_only_check.h"

namespace kelm::test {
namespace {

std::wstring FileName(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

bool OwnerOnly(SECURITY_ATTRIBUTES* security) {
  if (security == nullptr || security->lpSecurityDescriptor == nullptr) return false;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  return GetSecurityDescriptorDacl(security->lpSecurityDescriptor, &present, &dacl, &defaulted) && present &&
         OwnerOnlyProblem(dacl).empty();
}

}  // namespace

HANDLE RecordingFileCalls::CreateTemporary(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
  calls.push_back(L"create " + FileName(path) + (OwnerOnly(security) ? L" owner-only" : L""));
  return FileCalls::CreateTemporary(path, security);
}

bool RecordingFileCalls::Write(HANDLE file, std::string_view bytes) {
  calls.push_back(L"write");
  return FileCalls::Write(file, bytes);
}

bool RecordingFileCalls::Flush(HANDLE file) {
  calls.push_back(L"flush");
  return !failFlush && FileCalls::Flush(file);
}

void RecordingFileCalls::Close(HANDLE file) {
  calls.push_back(L"close");
  FileCalls::Close(file);
}

bool RecordingFileCalls::Move(const std::wstring& from, const std::wstring& to, bool replace) {
  calls.push_back(L"move " + FileName(from) + L" " + FileName(to) + (replace ? L"" : L" keep"));
  return FileCalls::Move(from, to, replace);
}

void RecordingFileCalls::Delete(const std::wstring& path) {
  calls.push_back(L"delete " + FileName(path));
  FileCalls::Delete(path);
}

}  // namespace kelm::test
