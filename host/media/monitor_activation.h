#pragma once
// Waiting for Windows to make a newly added virtual monitor part of the desktop.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>

namespace kelm {

// The GDI device name of the active path showing target `targetId` of `adapter`;
// nothing when no such path is active (or its source has no name yet).
std::optional<std::wstring> FindActiveTarget(const LUID& adapter, uint32_t targetId);

// Waits up to `timeoutMs` for the target to become active, switching Windows to the
// extended desktop once when it has not done so on its own after 2500 ms. The device
// name of the activated display, or nothing at the time-out.
std::optional<std::wstring> WaitForMonitorActive(const LUID& adapter, uint32_t targetId, uint32_t timeoutMs);

}  // namespace kelm
