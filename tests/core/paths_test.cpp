#include "core/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "core/text.h"
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

TEST(PathsTest, ProfileFolderIsCreatedWithItsParents) {
  test::TempDir parent;
  const std::wstring profile = parent.File(L"a\\b\\c");
  SetProfileDir(profile + L"\\");
  EXPECT_EQ(ProfileDir(), profile);  // one folder, with or without the separator
  std::string error;
  EXPECT_TRUE(PrepareDataDirs(error)) << error;
  const DWORD attributes = GetFileAttributesW(profile.c_str());
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  // The write check leaves nothing behind.
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((profile + L"\\*.*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  int entries = 0;
  do {
    ++entries;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  EXPECT_EQ(entries, 2);  // "." and ".."
  SetProfileDir(L"");
}

TEST(PathsTest, RelativeProfileIsKeptAsFullPath) {
  wchar_t current[MAX_PATH]{};
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, current), 0u);
  SetProfileDir(L"relative-profile");
  std::wstring expected = current;
  if (expected.back() != L'\\') expected += L'\\';
  EXPECT_EQ(ProfileDir(), expected + L"relative-profile");
  SetProfileDir(L"");
  EXPECT_EQ(ProfileDir(), L"");
}

TEST(PathsTest, FolderThatCannotBeCreatedIsNamedInTheError) {
  test::TempDir parent;
  ASSERT_TRUE(test::WriteFileBytes(parent.File(L"blocker"), "a file where a folder should go"));
  for (const std::wstring& profile : {parent.File(L"blocker"), parent.File(L"blocker\\sub\\deeper")}) {
    SetProfileDir(profile);
    std::string error;
    EXPECT_FALSE(PrepareDataDirs(error));
    EXPECT_EQ(error, "Cannot create the folder \"" + WideToUtf8(profile) + "\": " + ErrorText(ERROR_DIRECTORY));
    EXPECT_EQ(error.find("key storage"), std::string::npos);
  }
  SetProfileDir(L"");
}

}  // namespace
}  // namespace kelm
