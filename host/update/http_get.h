#pragma once
// A WinHTTP GET that reads a whole response into memory under a size limit, an
// overall deadline and a cancel flag.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kelm::update {

struct HttpGetOptions {
  uint64_t maxBytes = 0;
  bool allowLocalHttp = false;
  std::function<void(uint64_t received, uint64_t total)> progress;  // total 0: no Content-Length
  // Each piece of the body as it arrives, in order, before the next receive.
  std::function<void(std::span<const uint8_t> piece)> onBytes;
  const std::atomic<bool>* cancel = nullptr;
  uint64_t deadlineMs = 0;  // the whole GET; 0: none
};

// The Windows error a GET fails with once its deadline has passed (WinHTTP's time-out).
inline constexpr unsigned long kGetDeadlineError = 12002;

// The body, or nothing with one failure text in `error`. Never throws.
std::optional<std::string> HttpGet(std::string_view url, const HttpGetOptions& options, std::string& error);

}  // namespace kelm::update
