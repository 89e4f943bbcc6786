// The page's "update" message: the updater's state as one JSON object.
#include <nlohmann/json.hpp>

#include "update/updater.h"

namespace kelm {

std::string UpdateStateJson(const Updater::State& state, const Version& running) {
  static constexpr const char* kPhases[] = {"idle", "checking", "available", "installing", "failed"};
  nlohmann::json message = {
      {"type", "update"},
      {"phase", state.phase < std::size(kPhases) ? kPhases[state.phase] : "idle"},
      {"current", running.ToString()},
      {"required", state.required},
      {"error", state.error},
      {"lastCheck", state.lastCheck},
      {"downloading", state.downloading},
      {"progress", state.bytesTotal == 0 ? 0.0
                                         : static_cast<double>(state.bytesReceived) /
                                               static_cast<double>(state.bytesTotal)},
  };
  if (state.manifest) {
    message["version"] = state.manifest->version.ToString();
    message["notes"] = state.manifest->notes;
  }
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace kelm
