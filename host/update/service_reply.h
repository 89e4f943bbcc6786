#pragma once
// The update request the host sends over the service pipe and the reading of the
// service's reply.
#include <cstdint>
#include <string>
#include <string_view>

namespace kelm::update {

// What the updater does with the service's answer.
enum class ServiceRequestResult : uint32_t {
  Accepted = 0,          // the service installs the update: quit for it
  RefusedFallback = 1,   // refused, Windows approval allowed
  Refused = 2,           // refused, no fallback
  NoUsableService = 3,   // missing, not trusted or no valid reply
};

// The largest reply body read from the pipe.
inline constexpr size_t kServiceReplyMaxBytes = 1024;

// {"channel":channel,"version":version}, compact.
std::string ServiceRequestBody(std::string_view channel, std::string_view version);

// A JSON object with "ok" (bool), "error" (string) and "fallback" (bool), each optional;
// any other type, another JSON value or a body over the limit is no usable service.
// `error` holds the service's reason for results 1 and 2.
ServiceRequestResult ParseServiceReply(std::string_view body, std::string& error);

}  // namespace kelm::update
