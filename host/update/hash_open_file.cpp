// Streams a file through CNG's SHA-256 from an open handle.
#include "update/hash_open_file.h"

#include <bcrypt.h>

#include <vector>

#include "core/cng_handles.h"

namespace kelm::update {
namespace {
constexpr DWORD kReadBytes = 1048576;
}  // namespace

bool HashOpenFile(HANDLE file, std::array<uint8_t, 32>& digest, uint64_t& size) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  cng::HashHandle hash;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(cng::Sha256Alg(), hash.Put(), nullptr, 0, nullptr, 0, 0))) return false;
  std::vector<uint8_t> buffer(kReadBytes);
  uint64_t total = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, buffer.data(), kReadBytes, &read, nullptr)) return false;
    if (read == 0) break;
    if (!BCRYPT_SUCCESS(BCryptHashData(hash.Get(), buffer.data(), read, 0))) return false;
    total += read;
  }
  if (!BCRYPT_SUCCESS(BCryptFinishHash(hash.Get(), digest.data(), static_cast<ULONG>(digest.size()), 0))) return false;
  size = total;
  return true;
}

}  // namespace kelm::update
