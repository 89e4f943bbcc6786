#pragma once
// The one-line host state of the tray tooltip and menu.
#include <string>

#include "core/host_service.h"

namespace kelm {

std::wstring TrayStatusText(const HostService::Status& status);

}  // namespace kelm
