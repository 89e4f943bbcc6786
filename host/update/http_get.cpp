// WinHTTP GET of a whole body. Every handle is owned; redirects are never followed;
// the receive time-out is cut to what is left of the deadline before each wait, so a
// silent or trickling server cannot hold the caller past it.
#include "update/http_get.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <format>
#include <vector>

#include "core/text.h"
#include "core/unique_any.h"
#include "update/download_url.h"
#include "update/version.h"

namespace kelm::update {
namespace {

using WinHttpHandleCloser = UniqueAny<HINTERNET, &WinHttpCloseHandle>;

constexpr DWORD kStepTimeoutMs = 20000;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;

std::optional<std::string> Fail(std::string& error, std::string text) {
  error = std::move(text);
  return std::nullopt;
}

class Deadline {
 public:
  explicit Deadline(uint64_t ms) : end_(ms == 0 ? 0 : GetTickCount64() + ms) {}
  bool Passed() const { return end_ != 0 && GetTickCount64() >= end_; }
  // The receive time-out for the next wait: the step time-out, or less near the end.
  DWORD NextTimeout() const {
    if (end_ == 0) return kStepTimeoutMs;
    const uint64_t now = GetTickCount64();
    return now >= end_ ? 1 : static_cast<DWORD>(std::min<uint64_t>(kStepTimeoutMs, end_ - now));
  }

 private:
  uint64_t end_;
};

bool Cancelled(const HttpGetOptions& options) { return options.cancel != nullptr && options.cancel->load(); }

void LimitReceive(HINTERNET request, const Deadline& deadline) {
  DWORD timeout = deadline.NextTimeout();
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &timeout, sizeof timeout);
}

// A failed wait past the deadline reads as the deadline's own failure.
std::string StepError(const char* what, DWORD code, const Deadline& deadline) {
  if (deadline.Passed()) return FailedText("download", kGetDeadlineError);
  return std::format("{} ({})", what, code);
}

std::optional<std::wstring> QueryHeader(HINTERNET request, DWORD which) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                      WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes == 0 || bytes > 4096) return std::nullopt;
  std::wstring value(bytes / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, which, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  value.resize(bytes / sizeof(wchar_t));
  return value;
}

}  // namespace

std::optional<std::string> HttpGet(std::string_view url, const HttpGetOptions& options, std::string& error) {
  const Deadline deadline(options.deadlineMs);
  if (!IsAllowedDownloadUrl(url, options.allowLocalHttp)) return Fail(error, "address not allowed");

  std::wstring wideUrl = Utf8ToWide(url);
  std::vector<wchar_t> host(kHostChars + 1), path(kPathChars + 1), user(kHostChars + 1), password(kHostChars + 1);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host.data();
  parts.dwHostNameLength = kHostChars;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = kPathChars;
  parts.lpszUserName = user.data();
  parts.dwUserNameLength = kHostChars;
  parts.lpszPassword = password.data();
  parts.dwPasswordLength = kHostChars;
  if (wideUrl.empty() || !WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts)) {
    return Fail(error, "invalid address");
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  // What WinHTTP will connect to decides, not the text: no credentials, and plain http
  // only to this machine's loopback names.
  if (parts.dwUserNameLength != 0 || parts.dwPasswordLength != 0 ||
      (!secure && (!options.allowLocalHttp || !IsLocalHttpHost(WideToUtf8(parts.lpszHostName))))) {
    return Fail(error, "address not allowed");
  }

  const std::wstring agent = Utf8ToWide("tavro/" + kProgramVersion.ToString());
  WinHttpHandleCloser session(
      WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return Fail(error, FailedText("WinHttpOpen", GetLastError()));
  WinHttpSetTimeouts(session.Get(), kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs, kStepTimeoutMs);

  WinHttpHandleCloser connection(WinHttpConnect(session.Get(), parts.lpszHostName, parts.nPort, 0));
  if (!connection) return Fail(error, FailedText("connection", GetLastError()));
  // Declared after the connection, so it is closed first on every path.
  WinHttpHandleCloser request(WinHttpOpenRequest(connection.Get(), L"GET", parts.lpszUrlPath, nullptr,
                                                 WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                 secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return Fail(error, FailedText("connection", GetLastError()));
  DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(request.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);

  if (Cancelled(options)) return Fail(error, "cancelled");
  LimitReceive(request.Get(), deadline);
  if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
      !WinHttpReceiveResponse(request.Get(), nullptr)) {
    return Fail(error, StepError("request failed", GetLastError(), deadline));
  }

  DWORD status = 0;
  DWORD statusBytes = sizeof status;
  if (!WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusBytes, WINHTTP_NO_HEADER_INDEX)) {
    return Fail(error, FailedText("request", GetLastError()));
  }
  if (status != 200) return Fail(error, std::format("HTTP {}", status));

  uint64_t total = 0;
  if (const auto header = QueryHeader(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH)) {
    const ContentLength length = ParseContentLength(WideToUtf8(*header), options.maxBytes);
    if (length.kind == ContentLength::Kind::TooLarge) return Fail(error, "file too large");
    if (length.kind == ContentLength::Kind::Value) total = length.value;
  }

  std::string body;
  // One reservation for a announced body: no regrowth, so the peak stays near its size.
  if (total != 0) body.reserve(static_cast<size_t>(total));
  uint64_t received = 0;
  for (;;) {
    if (Cancelled(options)) return Fail(error, "cancelled");
    if (deadline.Passed()) return Fail(error, FailedText("download", kGetDeadlineError));
    LimitReceive(request.Get(), deadline);
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.Get(), &available)) {
      return Fail(error, StepError("download failed", GetLastError(), deadline));
    }
    if (available == 0) break;
    if (received + available > options.maxBytes) return Fail(error, "file too large");
    body.resize(static_cast<size_t>(received + available));
    DWORD read = 0;
    if (!WinHttpReadData(request.Get(), body.data() + received, available, &read)) {
      return Fail(error, StepError("download failed", GetLastError(), deadline));
    }
    if (options.onBytes) options.onBytes(std::span(reinterpret_cast<const uint8_t*>(body.data()) + received, read));
    received += read;
    body.resize(static_cast<size_t>(received));
    if (options.progress) options.progress(received, total);
  }
  error.clear();
  return body;
}

}  // namespace kelm::update
