#pragma once
// Downloads the installer a manifest names and saves it only once its exact size and
// SHA-256 match the manifest.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "update/manifest.h"
#include "update/update_config.h"

namespace kelm::update {

bool DownloadInstaller(const UpdaterConfig& config, const Manifest& manifest, const std::wstring& target,
                       std::string& error, const std::function<void(uint64_t, uint64_t)>& progress,
                       const std::atomic<bool>* cancel);

}  // namespace kelm::update
