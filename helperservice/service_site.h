#pragma once
// The download site and signing key the service checks updates against: the
// product's built-in values, or the test copy's local site and test key.
#include <string>
#include <string_view>

namespace kelm::helperservice {

std::string_view ServiceUpdateSite();
std::string_view ServiceUpdateKey();

// Only the test copy answers true.
bool IsServiceTestCopy();
// The test copy's staged value `name` (REG_SZ under HKLM\Software\tavro-test\Service),
// so tests can stage what Wine can't show (a standard user, session 0); the service
// itself has none and answers empty.
std::wstring ServiceTestSetting(const wchar_t* name);

}  // namespace kelm::helperservice
