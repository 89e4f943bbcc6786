// Named mutex per data file, with owner-only access.
#include "core/file_lock.h"

#include <windows.h>

#include "core/crypto.h"
#include "core/encoding.h"
#include "core/owner_only_security.h"
#include "core/text.h"

namespace kelm {

std::wstring FileLock::MutexName(const std::wstring& filePath) {
  // Paths differ in case only when they name the same file.
  std::wstring folded = filePath;
  if (!folded.empty()) {
    CharLowerBuffW(folded.data(), static_cast<DWORD>(folded.size()));
  }
  const std::string utf8 = WideToUtf8(folded);
  const Digest32 digest = Sha256({reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size()});
  return L"Local\\tavro.FileLock." + Utf8ToWide(HexEncode(std::span(digest.data(), 8)));
}

FileLock::FileLock(const std::wstring& filePath, uint32_t waitMs) {
  OwnerOnlySecurity security;
  mutex_.Reset(CreateMutexW(security.Attributes(), FALSE, MutexName(filePath).c_str()));
  if (!mutex_) {
    return;
  }
  const DWORD waited = WaitForSingleObject(mutex_.Get(), waitMs);
  // An abandoned mutex is ours now; the file it guarded is whole either way,
  // because every write replaces it in one move.
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

FileLock::~FileLock() {
  if (held_) {
    ReleaseMutex(mutex_.Get());
  }
}

}  // namespace kelm
