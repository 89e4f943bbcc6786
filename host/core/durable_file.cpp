// Temporary file, flush, move: the only way data files are replaced.
#include "core/durable_file.h"

#include "core/owner_only_security.h"

#include <algorithm>
#include <atomic>

namespace kelm {
namespace {

FileCalls& SystemFileCalls() {
  static FileCalls calls;
  return calls;
}

std::atomic<FileCalls*> g_override{nullptr};

FileCalls& ActiveFileCalls() {
  FileCalls* calls = g_override.load();
  return calls != nullptr ? *calls : SystemFileCalls();
}

}  // namespace

HANDLE FileCalls::CreateTemporary(const std::wstring& path, SECURITY_ATTRIBUTES* security) {
  return CreateFileW(path.c_str(), GENERIC_WRITE, 0, security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool FileCalls::Write(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 0x100000));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr) || written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool FileCalls::Flush(HANDLE file) { return FlushFileBuffers(file) != 0; }

void FileCalls::Close(HANDLE file) { CloseHandle(file); }

bool FileCalls::Move(const std::wstring& from, const std::wstring& to, bool replace) {
  return MoveFileExW(from.c_str(), to.c_str(), (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH) != 0;
}

void FileCalls::Delete(const std::wstring& path) { DeleteFileW(path.c_str()); }

ScopedFileCalls::ScopedFileCalls(FileCalls& calls) : previous_(g_override.exchange(&calls)) {}

ScopedFileCalls::~ScopedFileCalls() { g_override.store(previous_); }

DurableWrite WriteFileDurably(const std::wstring& path, std::string_view bytes, uint32_t& error,
                              const DurableWriteOptions& options) {
  FileCalls& calls = ActiveFileCalls();
  const std::wstring tmp = path + options.temporarySuffix;
  error = 0;
  OwnerOnlySecurity ownerOnly;
  if (options.ownerOnly && !ownerOnly.valid()) {
    error = ERROR_INVALID_SECURITY_DESCR;
    return DurableWrite::TemporaryFailed;
  }
  const HANDLE file = calls.CreateTemporary(tmp, options.ownerOnly ? ownerOnly.Attributes() : nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return DurableWrite::TemporaryFailed;
  }
  // The flush comes before the move: a move that reaches the disk before the data
  // would leave an empty file after a power loss.
  const bool stored = calls.Write(file, bytes) && calls.Flush(file);
  if (!stored) {
    error = GetLastError();
  }
  calls.Close(file);
  if (!stored) {
    calls.Delete(tmp);
    return DurableWrite::TemporaryFailed;
  }
  if (!calls.Move(tmp, path, options.replaceExisting)) {
    error = GetLastError();
    calls.Delete(tmp);
    return DurableWrite::MoveFailed;
  }
  return DurableWrite::Written;
}

}  // namespace kelm
