// Builds the service request and reads the reply without exceptions, with every key's
// type checked: the reply comes from another process.
#include "update/service_reply.h"

#include <nlohmann/json.hpp>

namespace kelm::update {

std::string ServiceRequestBody(std::string_view channel, std::string_view version) {
  const nlohmann::json request = {{"channel", channel}, {"version", version}};
  return request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

ServiceRequestResult ParseServiceReply(std::string_view body, std::string& error) {
  if (body.size() > kServiceReplyMaxBytes) return ServiceRequestResult::NoUsableService;
  const nlohmann::json reply = nlohmann::json::parse(body, nullptr, false);
  if (reply.is_discarded() || !reply.is_object()) return ServiceRequestResult::NoUsableService;
  const auto ok = reply.find("ok");
  const auto text = reply.find("error");
  const auto fallback = reply.find("fallback");
  if ((ok != reply.end() && !ok->is_boolean()) || (text != reply.end() && !text->is_string()) ||
      (fallback != reply.end() && !fallback->is_boolean())) {
    return ServiceRequestResult::NoUsableService;
  }
  if (ok != reply.end() && ok->get<bool>()) return ServiceRequestResult::Accepted;
  error = text != reply.end() ? text->get<std::string>() : "the service refused the update";
  const bool mayFallBack = fallback != reply.end() && fallback->get<bool>();
  return mayFallBack ? ServiceRequestResult::RefusedFallback : ServiceRequestResult::Refused;
}

}  // namespace kelm::update
