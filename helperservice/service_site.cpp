// The one source that differs between the service and its test copy: the test copy is
// built with TAVRO_SERVICE_TEST_SITE and TAVRO_SERVICE_TEST_KEY defined.
#include "service_site.h"

#include "core/win_handle.h"
#include "update/update_key.h"

namespace kelm::helperservice {

#if defined(TAVRO_SERVICE_TEST_SITE) && defined(TAVRO_SERVICE_TEST_KEY)
std::string_view ServiceUpdateSite() { return TAVRO_SERVICE_TEST_SITE; }
std::string_view ServiceUpdateKey() { return TAVRO_SERVICE_TEST_KEY; }
bool IsServiceTestCopy() { return true; }

std::wstring ServiceTestSetting(const wchar_t* name) {
  RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\tavro-test\\Service", 0, KEY_QUERY_VALUE, key.Put()) !=
      ERROR_SUCCESS) {
    return {};
  }
  wchar_t value[64] = {};
  DWORD size = sizeof(value) - sizeof(wchar_t);
  DWORD type = 0;
  const LSTATUS read = RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
  return read == ERROR_SUCCESS && type == REG_SZ ? std::wstring(value) : std::wstring();
}
#else
std::string_view ServiceUpdateSite() { return update::kBuiltInUpdateSite; }
std::string_view ServiceUpdateKey() { return update::kBuiltInUpdateKey; }
bool IsServiceTestCopy() { return false; }
std::wstring ServiceTestSetting(const wchar_t*) { return {}; }
#endif

}  // namespace kelm::helperservice
