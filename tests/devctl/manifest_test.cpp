// kelm-devctl.exe carries the manifest that makes Windows start it with administrator rights.
#include <gtest/gtest.h>

#include <windows.h>

#include <regex>
#include <string>

#include "support/process.h"

namespace {

BOOL CALLBACK CountName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

TEST(DevctlManifest, RequiresAdministratorWithoutUiAccess) {
  const std::wstring exe = kelm::test::SiblingExe(L"kelm-devctl.exe");
  const HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr) << GetLastError();
  int manifests = 0;
  EnumResourceNamesW(image, RT_MANIFEST, CountName, reinterpret_cast<LONG_PTR>(&manifests));
  EXPECT_EQ(manifests, 1);
  const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), RT_MANIFEST);
  ASSERT_NE(found, nullptr);
  const HGLOBAL loaded = LoadResource(image, found);
  ASSERT_NE(loaded, nullptr);
  const std::string xml(static_cast<const char*>(LockResource(loaded)), SizeofResource(image, found));
  FreeLibrary(image);
  // One requestedExecutionLevel, inside trustInfo/security/requestedPrivileges.
  const std::regex level(
      R"re(<trustInfo[^>]*>\s*<security>\s*<requestedPrivileges>\s*)re"
      R"re(<requestedExecutionLevel\s+level="requireAdministrator"\s+uiAccess="false"\s*/>)re"
      R"re(\s*</requestedPrivileges>\s*</security>\s*</trustInfo>)re");
  EXPECT_TRUE(std::regex_search(xml, level)) << xml;
  EXPECT_EQ(xml.find("requestedExecutionLevel"), xml.rfind("requestedExecutionLevel"));
  EXPECT_NE(xml.find(R"(xmlns="urn:schemas-microsoft-com:asm.v3")"), std::string::npos);
}

}  // namespace
