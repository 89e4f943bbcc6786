#pragma once
// One check of the download site: the channel's manifest and its signature, verified
// and parsed.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "update/manifest.h"
#include "update/update_config.h"

namespace kelm::update {

// `cancel` (optional) ends either GET within one receive.
std::optional<Manifest> FetchManifest(const UpdaterConfig& config, std::string_view channel, std::string& error,
                                      const std::atomic<bool>* cancel = nullptr);

}  // namespace kelm::update
