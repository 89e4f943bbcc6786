#pragma once
// Which addresses the updater may download from, and the checked reading of a
// response's Content-Length.
#include <cstdint>
#include <string_view>

namespace kelm::update {

inline constexpr size_t kDownloadUrlMaxChars = 1024;

// https with a host; plain http only with `allowLocalHttp` and only when the host is
// exactly 127.0.0.1 or localhost, with no user name or password before it.
bool IsAllowedDownloadUrl(std::string_view url, bool allowLocalHttp);

// True when `host` may be reached over plain http (the loopback names above).
bool IsLocalHttpHost(std::string_view host);

struct ContentLength {
  enum class Kind { Absent, Value, TooLarge };
  Kind kind = Kind::Absent;
  uint64_t value = 0;
};

// Decimal digits only: garbage counts as absent; a value above `maxBytes` or past 64
// bits is too large.
ContentLength ParseContentLength(std::string_view text, uint64_t maxBytes);

}  // namespace kelm::update
