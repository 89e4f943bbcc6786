#pragma once
// Portable naming rules for transferred files: safe local names, free names in a folder,
// and the progress percentage.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kelm {

// Longest name kept from a device, in UTF-16 units (the unit Windows counts in).
inline constexpr size_t kMaxSafeNameUnits = 180;
// Longest extension kept when a long name is cut, dot included, in UTF-16 units.
inline constexpr size_t kMaxKeptExtensionUnits = 16;
// Numbered candidates tried before falling back to a time-stamped name.
inline constexpr unsigned kMaxUniqueNumber = 9999;

// A device's file name (UTF-8, possibly invalid) made into one harmless Windows file
// name (UTF-8): no folder parts, no reserved characters or device names, no trailing
// dots or blanks, at most 180 UTF-16 units.
std::string SafeFileName(std::string_view deviceName);

// True for names Windows opens as a device (CON, NUL, COM1, "nul .txt", "CONOUT$", ...).
bool IsReservedDeviceName(std::u32string_view name);

// The first of folder\name, folder\stem (1).ext ... folder\stem (9999).ext for which
// neither the path nor the path with ".part" exists; then folder\stem (tick).ext.
std::wstring UniqueNameIn(const std::wstring& folder, const std::wstring& name,
                          const std::function<bool(const std::wstring&)>& exists, uint64_t tick);

// done * 100 / total in whole percent followed by " %", never above 100; "100 %" when
// total is 0.
std::string PercentText(uint64_t done, uint64_t total);

}  // namespace kelm
