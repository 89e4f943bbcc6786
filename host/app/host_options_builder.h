#pragma once
// The host options of a GUI run: the settings, this run's PIN, then the command line.
#include <string>

#include "core/cli_overrides.h"
#include "core/host_options.h"
#include "core/settings.h"

namespace kelm {

HostOptions BuildHostOptions(const Settings& settings, uint32_t pin, const CliOverrides& overrides,
                             const std::string& pcName);

}  // namespace kelm
