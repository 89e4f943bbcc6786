#include "core/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace kelm {
namespace {

TEST(PathsTest, ExecutableDirIsFolderWithoutTrailingSeparator) {
  const std::wstring path = ExecutablePath();
  const std::wstring dir = ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), L'\\');
  EXPECT_EQ(path.substr(0, dir.size() + 1), dir + L"\\");
  EXPECT_EQ(path.substr(dir.size() + 1), L"core_text_test.exe");
}

TEST(PathsTest, KnownFoldersGetTavroSubfolder) {
  SetProfileDir(L"");
  const std::wstring local = LocalDataDir();
  const std::wstring roaming = RoamingDataDir();
  EXPECT_TRUE(local.ends_with(L"\\tavro")) << local.size();
  EXPECT_TRUE(roaming.ends_with(L"\\tavro"));
  EXPECT_NE(local, roaming);
  EXPECT_NE(GetFileAttributesW(local.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(PathsTest, ProfileReplacesBothDataFolders) {
  test::TempDir parent;
  const std::wstring profile = parent.File(L"profile");
  SetProfileDir(profile);
  EXPECT_EQ(LocalDataDir(), profile);
  EXPECT_EQ(RoamingDataDir(), profile);
  const DWORD attributes = GetFileAttributesW(profile.c_str());
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  SetProfileDir(L"");
}

}  // namespace
}  // namespace kelm
