#pragma once
// Asks the tavro service over its pipe to install an update, after making sure the
// pipe belongs to the service.
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "update/service_reply.h"

namespace kelm::update {

inline constexpr wchar_t kServicePipeName[] = L"\\\\.\\pipe\\tavro.Service";

struct ServicePipeSettings {
  std::wstring pipeName;            // empty: the service's pipe
  uint64_t replyWaitMs = 120000;    // the reply watchdog's limit
  const std::atomic<bool>* stop = nullptr;  // also ends the wait for the reply
};

// One request, one reply. Results 1 and 2 carry the service's reason in `error`.
ServiceRequestResult AskServiceToInstall(std::string_view channel, std::string_view version, std::string& error,
                                         const ServicePipeSettings& settings = {});

}  // namespace kelm::update
