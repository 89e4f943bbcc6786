// Address rules for update downloads. The authority of a plain-http address is split
// here the way an URL cracker splits it, so "http://127.0.0.1:1@example.com/" is seen
// as a user name in front of example.com and refused.
#include "update/download_url.h"

#include <limits>

namespace kelm::update {

bool IsLocalHttpHost(std::string_view host) { return host == "127.0.0.1" || host == "localhost"; }

bool IsAllowedDownloadUrl(std::string_view url, bool allowLocalHttp) {
  if (url.size() > kDownloadUrlMaxChars || url.find_first_of(" \t\r\n\"<>\\") != std::string_view::npos) {
    return false;
  }
  constexpr std::string_view kHttps = "https://";
  if (url.starts_with(kHttps)) return url.size() >= kHttps.size() + 1 && url[kHttps.size()] != '/';
  constexpr std::string_view kHttp = "http://";
  if (!allowLocalHttp || !url.starts_with(kHttp)) return false;
  const std::string_view rest = url.substr(kHttp.size());
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.find('@') != std::string_view::npos) return false;
  const size_t colon = authority.find(':');
  if (!IsLocalHttpHost(authority.substr(0, colon))) return false;
  if (colon == std::string_view::npos) return authority.size() < rest.size() && rest[authority.size()] == '/';
  const std::string_view port = authority.substr(colon + 1);
  if (port.empty() || port.size() > 5) return false;
  for (const char c : port) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

ContentLength ParseContentLength(std::string_view text, uint64_t maxBytes) {
  if (text.empty()) return {};
  uint64_t value = 0;
  bool tooLarge = false;
  for (const char c : text) {
    if (c < '0' || c > '9') return {};
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
      tooLarge = true;  // keep scanning: a later non-digit still makes it garbage
      continue;
    }
    value = value * 10 + digit;
  }
  if (tooLarge || value > maxBytes) return {ContentLength::Kind::TooLarge, value};
  return {ContentLength::Kind::Value, value};
}

}  // namespace kelm::update
