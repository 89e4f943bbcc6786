// Standard base64 decoding for the native fuzz targets (the product decodes stored keys
// and secrets through CryptoAPI, which does not exist here): the URL-safe decoder of
// the relay code after mapping the alphabet and dropping the padding.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connect/base64url.h"

inline std::optional<std::vector<uint8_t>> StandardBase64Decode(std::string_view text) {
  std::string url(text);
  while (!url.empty() && url.back() == '=') url.pop_back();
  for (char& c : url) {
    if (c == '+') c = '-';
    else if (c == '/') c = '_';
    else if (c == '-' || c == '_') return std::nullopt;
  }
  return kelm::Base64UrlDecode(url);
}
