#include "core/find_adb.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <tuple>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::TempDir;
using test::WriteFileBytes;

// Saves the variables the search reads and puts them back afterwards.
class FindAdbTest : public ::testing::Test {
 protected:
  static constexpr const wchar_t* kNames[] = {L"ADB", L"ANDROID_HOME", L"ANDROID_SDK_ROOT",
                                              L"LOCALAPPDATA"};
  void SetUp() override {
    for (const wchar_t* name : kNames) {
      wchar_t buffer[1024];
      const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
      saved_.push_back(n > 0 && n < 1024 ? std::optional<std::wstring>(std::wstring(buffer, n))
                                         : std::nullopt);
      SetEnvironmentVariableW(name, nullptr);
    }
  }
  void TearDown() override {
    for (size_t i = 0; i < saved_.size(); ++i) {
      SetEnvironmentVariableW(kNames[i], saved_[i] ? saved_[i]->c_str() : nullptr);
    }
  }
  // Creates the folders leading to `path` and a file there.
  static void Touch(const std::wstring& path) {
    for (size_t i = path.find(L'\\', 3); i != std::wstring::npos; i = path.find(L'\\', i + 1)) {
      CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
    ASSERT_TRUE(WriteFileBytes(path, "MZ"));
  }

  TempDir dir;
  std::vector<std::optional<std::wstring>> saved_;
};

TEST_F(FindAdbTest, CandidatesAreTriedInOrder) {
  const std::wstring root = dir.Path();
  const std::wstring program = root + L"\\tree\\build\\x64\\host";
  const std::wstring candidates[] = {
      root + L"\\explicit\\my-adb.exe",
      root + L"\\home\\platform-tools\\adb.exe",
      root + L"\\sdkroot\\platform-tools\\adb.exe",
      root + L"\\local\\Android\\Sdk\\platform-tools\\adb.exe",
      program + L"\\platform-tools\\adb.exe",
      program + L"\\adb.exe",
      // Three folders above the program's: the developer tree's own platform tools.
      root + L"\\tree\\.toolchain\\android-sdk\\platform-tools\\adb.exe",
  };
  for (const std::wstring& c : candidates) {
    Touch(c);
  }
  SetEnvironmentVariableW(L"ADB", candidates[0].c_str());
  SetEnvironmentVariableW(L"ANDROID_HOME", (root + L"\\home").c_str());
  SetEnvironmentVariableW(L"ANDROID_SDK_ROOT", (root + L"\\sdkroot").c_str());
  SetEnvironmentVariableW(L"LOCALAPPDATA", (root + L"\\local").c_str());
  for (size_t i = 0; i < std::size(candidates); ++i) {
    EXPECT_EQ(FindAdbFor(program), candidates[i]) << "candidate " << i + 1;
    ASSERT_TRUE(DeleteFileW(candidates[i].c_str()));
  }
  EXPECT_EQ(FindAdbFor(program), L"");
}

TEST_F(FindAdbTest, DeveloperTreeOnlyBelowBuildX64HostInAnyCase) {
  const std::wstring root = dir.Path();
  const std::wstring tail = L"\\.toolchain\\android-sdk\\platform-tools\\adb.exe";
  // Where "\..\..\.." from each program folder leads, a target is waiting.
  const std::vector<std::tuple<std::wstring, std::wstring, bool>> cases = {
      {root + L"\\a\\build\\x64\\host", root + L"\\a", true},
      {root + L"\\b\\BUILD\\X64\\Host", root + L"\\b", true},
      {root + L"\\c\\build\\x64\\hosts", root + L"\\c", false},
      {root + L"\\d\\build\\x86\\host", root + L"\\d", false},
      {root + L"\\e\\x\\build\\host", root + L"\\e", false},
  };
  for (const auto& [program, top, used] : cases) {
    Touch(top + tail);
    const std::wstring found = FindAdbFor(program);
    EXPECT_EQ(found, used ? top + tail : L"") << std::string(program.begin(), program.end());
  }
}

TEST_F(FindAdbTest, FoldersAreNotPrograms) {
  const std::wstring root = dir.Path();
  CreateDirectoryW((root + L"\\adb.exe").c_str(), nullptr);
  SetEnvironmentVariableW(L"ADB", (root + L"\\adb.exe").c_str());
  CreateDirectoryW((root + L"\\home").c_str(), nullptr);
  CreateDirectoryW((root + L"\\home\\platform-tools").c_str(), nullptr);
  CreateDirectoryW((root + L"\\home\\platform-tools\\adb.exe").c_str(), nullptr);
  SetEnvironmentVariableW(L"ANDROID_HOME", (root + L"\\home").c_str());
  EXPECT_EQ(FindAdbFor(root + L"\\nowhere"), L"");
  Touch(root + L"\\prog\\adb.exe");
  EXPECT_EQ(FindAdbFor(root + L"\\prog"), root + L"\\prog\\adb.exe");
}

TEST_F(FindAdbTest, RelativeValuesAreNeverLookedUpInTheCurrentFolder) {
  const std::wstring root = dir.Path();
  Touch(root + L"\\tools\\adb.exe");
  Touch(root + L"\\prog\\adb.exe");
  Touch(root + L"\\sdk\\platform-tools\\adb.exe");
  wchar_t before[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, before);
  ASSERT_TRUE(SetCurrentDirectoryW(root.c_str()));
  // "tools\adb.exe" exists below the current folder: it is skipped, the search goes on.
  SetEnvironmentVariableW(L"ADB", L"tools\\adb.exe");
  const std::wstring relative = FindAdbFor(root + L"\\prog");
  SetEnvironmentVariableW(L"ANDROID_HOME", L"sdk");
  const std::wstring relativeHome = FindAdbFor(root + L"\\nowhere");
  SetEnvironmentVariableW(L"ANDROID_HOME", nullptr);
  SetEnvironmentVariableW(L"ADB", (root + L"\\tools\\..\\tools\\.\\adb.exe").c_str());
  const std::wstring untidy = FindAdbFor(root + L"\\nowhere");
  SetCurrentDirectoryW(before);
  EXPECT_EQ(relative, root + L"\\prog\\adb.exe");
  EXPECT_EQ(relativeHome, L"");
  EXPECT_EQ(untidy, root + L"\\tools\\adb.exe");
}

TEST(AdbPathTest, RelativeGivenPathsAreTakenFromTheProgramFolder) {
  struct Case {
    const wchar_t* given;
    const wchar_t* resolved;
  };
  for (const Case& c : {Case{L"adb.exe", L"C:\\prog\\adb.exe"},
                        Case{L"tools\\..\\adb.exe", L"C:\\prog\\adb.exe"},
                        Case{L"D:\\sdk\\.\\adb.exe", L"D:\\sdk\\adb.exe"},
                        Case{L"\\\\server\\share\\adb.exe", L"\\\\server\\share\\adb.exe"}}) {
    EXPECT_EQ(ResolveAdbPath(c.given, L"C:\\prog"), c.resolved) << c.given;
  }
  EXPECT_TRUE(IsAbsolutePath(L"C:\\a"));
  EXPECT_TRUE(IsAbsolutePath(L"c:/a"));
  EXPECT_TRUE(IsAbsolutePath(L"\\\\server\\share"));
  for (const wchar_t* relative : {L"adb.exe", L"C:adb.exe", L"\\adb.exe", L".\\adb.exe", L"", L"\\\\\\x"}) {
    EXPECT_FALSE(IsAbsolutePath(relative)) << relative;
  }
}

// A value of 519 characters is used; one of 520 counts as absent and the search goes on.
TEST_F(FindAdbTest, VariablesOf520CharactersCountAsAbsent) {
  const std::wstring root = dir.Path();
  const std::wstring fallback = root + L"\\local\\Android\\Sdk\\platform-tools\\adb.exe";
  Touch(fallback);
  SetEnvironmentVariableW(L"LOCALAPPDATA", (root + L"\\local").c_str());
  // A file named through redundant ".\" steps up to a given length; the file's own name
  // takes up an odd remainder.
  const auto padded = [&](size_t length) {
    std::wstring path = root + L"\\";
    while (path.size() + 2 + 8 <= length) {
      path += L".\\";
    }
    path += (length - path.size() == 8 ? L"aadb.exe" : L".\\adb.exe");
    return path;
  };
  Touch(root + L"\\adb.exe");
  Touch(root + L"\\aadb.exe");
  const std::wstring fits = padded(519);
  const std::wstring tooLong = padded(520);
  ASSERT_EQ(fits.size(), 519u);
  ASSERT_EQ(tooLong.size(), 520u);
  SetEnvironmentVariableW(L"ADB", fits.c_str());
  EXPECT_EQ(FindAdbFor(root + L"\\nowhere"), root + fits.substr(fits.rfind(L'\\')));
  SetEnvironmentVariableW(L"ADB", tooLong.c_str());
  EXPECT_EQ(FindAdbFor(root + L"\\nowhere"), fallback);
  SetEnvironmentVariableW(L"ADB", L"");
  EXPECT_EQ(FindAdbFor(root + L"\\nowhere"), fallback);
}

}  // namespace
}  // namespace kelm
