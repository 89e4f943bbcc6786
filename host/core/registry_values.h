#pragma once
// Registry values through the RegKey owner: a key opened or created, one value written,
// deleted, or read no larger than the caller allows.
#include <windows.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/win_handle.h"

namespace kelm {

// `root`\`path` with `access`; empty when it is missing or cannot be opened.
RegKey OpenRegKey(HKEY root, const std::wstring& path, REGSAM access);
// The same, created first when missing.
RegKey CreateRegKey(HKEY root, const std::wstring& path, REGSAM access);

// One value as the registry holds it.
struct RegValue {
  DWORD type = REG_NONE;
  DWORD size = 0;              // bytes the registry reports
  std::vector<uint8_t> bytes;  // the value; empty when it is larger than the read allowed
};

// Any size: the bound of a read that keeps whatever the value holds.
inline constexpr DWORD kAnyRegValueSize = 0xFFFFFFFF;

// Reads `name`: ERROR_FILE_NOT_FOUND when it is missing, ERROR_SUCCESS with `bytes` empty
// when it holds more than `maxBytes`, else the registry's error.
LSTATUS ReadRegValue(const RegKey& key, const wchar_t* name, DWORD maxBytes, RegValue& value);

// The value's bytes as UTF-16 characters (an odd last byte is dropped).
std::vector<wchar_t> RegValueChars(const RegValue& value);
// A REG_SZ or REG_EXPAND_SZ value up to its first terminator (a stored string need not
// end in one); nothing for other types.
std::optional<std::wstring> RegValueString(const RegValue& value);

LSTATUS WriteRegValue(const RegKey& key, const wchar_t* name, DWORD type, std::span<const uint8_t> data);
// REG_SZ, with its terminator.
LSTATUS WriteRegString(const RegKey& key, const wchar_t* name, std::wstring_view text);
// A value that was not there counts as deleted.
LSTATUS DeleteRegValue(const RegKey& key, const wchar_t* name);

}  // namespace kelm
