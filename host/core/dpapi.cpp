#include "core/dpapi.h"

#include <windows.h>
#include <dpapi.h>

#include <atomic>

#include "core/crypto.h"
#include "core/unique_any.h"

namespace kelm {
namespace {
std::atomic<int> g_refusals{0};
}  // namespace

DpapiRefusal::DpapiRefusal() { ++g_refusals; }
DpapiRefusal::~DpapiRefusal() { --g_refusals; }

std::optional<std::vector<uint8_t>> DpapiProtect(std::span<const uint8_t> plain) {
  if (g_refusals.load() > 0) {
    return std::nullopt;
  }
  DATA_BLOB in{static_cast<DWORD>(plain.size()), const_cast<BYTE*>(plain.data())};
  DATA_BLOB out{};
  if (!CryptProtectData(&in, L"tavro", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return std::nullopt;
  }
  const ScopeExit release([&] { LocalFree(out.pbData); });
  return std::vector<uint8_t>(out.pbData, out.pbData + out.cbData);
}

std::optional<std::vector<uint8_t>> DpapiUnprotect(std::span<const uint8_t> protectedBytes) {
  DATA_BLOB in{static_cast<DWORD>(protectedBytes.size()), const_cast<BYTE*>(protectedBytes.data())};
  DATA_BLOB out{};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
    return std::nullopt;
  }
  // The plaintext is a secret: do not leave it in the freed heap block, on any path.
  const ScopeExit release([&] {
    WipeBytes(out.pbData, out.cbData);
    LocalFree(out.pbData);
  });
  return std::vector<uint8_t>(out.pbData, out.pbData + out.cbData);
}

}  // namespace kelm
