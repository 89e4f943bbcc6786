// The registry key of the crash-recovery values.
#include "core/registry_key.h"

#include <mutex>

namespace kelm {
namespace {

constexpr wchar_t kDefaultKey[] = L"Software\\tavro";

std::mutex& KeyMutex() {
  static std::mutex m;
  return m;
}
std::wstring& KeyStorage() {
  static std::wstring key = kDefaultKey;
  return key;
}

}  // namespace

std::wstring TavroRegistryKey() {
  std::lock_guard lock(KeyMutex());
  return KeyStorage();
}

void SetTavroRegistryKey(std::wstring path) {
  std::lock_guard lock(KeyMutex());
  KeyStorage() = path.empty() ? std::wstring(kDefaultKey) : std::move(path);
}

}  // namespace kelm
