// Standard base64 through CryptoAPI, the one encoding that needs Windows.
#include <windows.h>
#include <wincrypt.h>

#include "core/encoding.h"

namespace kelm {

std::string Base64Encode(std::span<const uint8_t> bytes) {
  if (bytes.empty()) {
    return {};
  }
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD n = 0;
  if (!CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, nullptr, &n) || n == 0) {
    return {};
  }
  std::string out(n, '\0');
  if (!CryptBinaryToStringA(bytes.data(), static_cast<DWORD>(bytes.size()), flags, out.data(), &n)) {
    return {};
  }
  out.resize(n);  // the second call reports the length without the terminator
  while (!out.empty() && out.back() == '\0') {
    out.pop_back();
  }
  return out;
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text) {
  if (text.empty()) {
    return std::vector<uint8_t>{};
  }
  DWORD n = 0;
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr, &n, nullptr,
                            nullptr)) {
    return std::nullopt;
  }
  std::vector<uint8_t> out(n);
  if (!CryptStringToBinaryA(text.data(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, out.data(), &n,
                            nullptr, nullptr)) {
    return std::nullopt;
  }
  out.resize(n);
  return out;
}

}  // namespace kelm
