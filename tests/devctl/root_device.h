#pragma once
// Makes and finds root devices in the prefix for the driver tool's tests, through
// SetupAPI directly (none of the tool's code).
#include <string>
#include <vector>

namespace kelm::devctl::test {

// Registers a display-class root device whose SPDRP_HARDWAREID is `hardwareIds`;
// answers its instance id, or nothing when a step failed.
std::wstring CreateRootDevice(const std::vector<std::wstring>& hardwareIds);
// Gives the device a driver key whose "InfPath" holds `bytes` as they stand (REG_SZ,
// no NUL added); false when a step failed.
bool SetDriverKeyInfPath(const std::wstring& instanceId, const std::vector<unsigned char>& bytes);
// Removes one device by its instance id; false when it was not there.
bool RemoveDevice(const std::wstring& instanceId);
// Instance ids of every device (present or not) with any hardware id equal to `id`
// ignoring case.
std::vector<std::wstring> DevicesWithHardwareId(const std::wstring& id);
// Instance ids of every device whose hardware-id list is exactly `hardwareIds`.
std::vector<std::wstring> DevicesWithHardwareIds(const std::vector<std::wstring>& hardwareIds);

}  // namespace kelm::devctl::test
