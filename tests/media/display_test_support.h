#pragma once
// Shared set-up of the display tests: a registry key of the test program's own for the
// crash-recovery values, and readers of those values as the registry holds them.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "core/registry_key.h"

namespace kelm::test {

// Gives this program its own "Software\tavro" for the test's lifetime.
class ScopedRegistryKey {
 public:
  ScopedRegistryKey() : key_(L"Software\\tavro-display-test-" + std::to_wstring(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    SetTavroRegistryKey(key_);
  }
  ~ScopedRegistryKey() {
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    SetTavroRegistryKey(L"");
  }
  ScopedRegistryKey(const ScopedRegistryKey&) = delete;
  ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;
  const std::wstring& Path() const { return key_; }

  // The value's type and raw bytes; nothing when it does not exist.
  std::optional<std::pair<DWORD, std::vector<uint8_t>>> Read(const wchar_t* name) const {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD type = 0, size = 0;
    std::optional<std::pair<DWORD, std::vector<uint8_t>>> result;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
      std::vector<uint8_t> bytes(size);
      if (RegQueryValueExW(key, name, nullptr, &type, bytes.empty() ? nullptr : bytes.data(), &size) ==
          ERROR_SUCCESS) {
        bytes.resize(size);
        result = std::make_pair(type, std::move(bytes));
      }
    }
    RegCloseKey(key);
    return result;
  }
  bool Write(const wchar_t* name, DWORD type, const void* data, size_t size) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
      return false;
    }
    const bool ok = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)) ==
                    ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
  }

 private:
  std::wstring key_;
};

// REG_MULTI_SZ bytes of the given strings, each with its NUL, and the closing NUL.
inline std::vector<uint8_t> MultiString(const std::vector<std::wstring>& items) {
  std::wstring all;
  for (const auto& item : items) {
    all += item;
    all.push_back(L'\0');
  }
  all.push_back(L'\0');
  const auto* bytes = reinterpret_cast<const uint8_t*>(all.data());
  return std::vector<uint8_t>(bytes, bytes + all.size() * sizeof(wchar_t));
}

inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

}  // namespace kelm::test
