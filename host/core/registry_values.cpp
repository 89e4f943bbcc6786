// Registry value reads bounded by the size the registry reports, and the writes.
#include "core/registry_values.h"

#include <algorithm>

namespace kelm {

RegKey OpenRegKey(HKEY root, const std::wstring& path, REGSAM access) {
  RegKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, access, key.Put()) != ERROR_SUCCESS) key.Reset();
  return key;
}

RegKey CreateRegKey(HKEY root, const std::wstring& path, REGSAM access) {
  RegKey key;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, access, nullptr, key.Put(), nullptr) != ERROR_SUCCESS) {
    key.Reset();
  }
  return key;
}

LSTATUS ReadRegValue(const RegKey& key, const wchar_t* name, DWORD maxBytes, RegValue& value) {
  value = {};
  if (!key) return ERROR_INVALID_HANDLE;
  // A value that grows between the two calls is measured again, a few times.
  for (int attempt = 0; attempt < 3; ++attempt) {
    LSTATUS r = RegQueryValueExW(key.Get(), name, nullptr, &value.type, nullptr, &value.size);
    if (r != ERROR_SUCCESS) return r;
    if (value.size > maxBytes) return ERROR_SUCCESS;
    value.bytes.assign(value.size, 0);
    DWORD got = value.size;
    r = RegQueryValueExW(key.Get(), name, nullptr, &value.type, value.bytes.empty() ? nullptr : value.bytes.data(),
                         &got);
    if (r == ERROR_MORE_DATA) continue;
    if (r != ERROR_SUCCESS) {
      value.bytes.clear();
      return r;
    }
    value.bytes.resize(std::min<size_t>(got, value.bytes.size()));
    return ERROR_SUCCESS;
  }
  value.bytes.clear();
  return ERROR_MORE_DATA;
}

std::vector<wchar_t> RegValueChars(const RegValue& value) {
  std::vector<wchar_t> chars(value.bytes.size() / sizeof(wchar_t));
  std::copy_n(value.bytes.data(), chars.size() * sizeof(wchar_t), reinterpret_cast<uint8_t*>(chars.data()));
  return chars;
}

std::optional<std::wstring> RegValueString(const RegValue& value) {
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return std::nullopt;
  const std::vector<wchar_t> chars = RegValueChars(value);
  std::wstring text(chars.begin(), chars.end());
  if (const size_t nul = text.find(L'\0'); nul != std::wstring::npos) text.resize(nul);
  return text;
}

LSTATUS WriteRegValue(const RegKey& key, const wchar_t* name, DWORD type, std::span<const uint8_t> data) {
  if (!key) return ERROR_INVALID_HANDLE;
  return RegSetValueExW(key.Get(), name, 0, type, data.data(), static_cast<DWORD>(data.size()));
}

LSTATUS WriteRegString(const RegKey& key, const wchar_t* name, std::wstring_view text) {
  const std::wstring terminated(text);
  return WriteRegValue(key, name, REG_SZ,
                       std::span(reinterpret_cast<const uint8_t*>(terminated.c_str()),
                                 (terminated.size() + 1) * sizeof(wchar_t)));
}

LSTATUS DeleteRegValue(const RegKey& key, const wchar_t* name) {
  if (!key) return ERROR_INVALID_HANDLE;
  const LSTATUS r = RegDeleteValueW(key.Get(), name);
  return r == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : r;
}

}  // namespace kelm
