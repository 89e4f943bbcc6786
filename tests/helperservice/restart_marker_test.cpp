// The restart marker as written: exact bytes, replacing an old one, refusing a folder.
#include "restart_marker.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <ctime>
#include <string>

#include <nlohmann/json.hpp>

#include "data_folder.h"
#include "support/temp_dir.h"

namespace kelm::service {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

TEST(RestartMarkerTest, WritesSortedCompactObjectAndReplacesAnOldOne) {
  TempDir dir;
  const std::wstring path = dir.File(L"update-restart.json");
  struct Case {
    uint32_t session, installer;
    int64_t time;
    const char* expected;
  };
  const Case cases[] = {
      {1, 4242, 1700000000, R"({"installer":4242,"session":1,"time":1700000000})"},
      {0, 0, 0, R"({"installer":0,"session":0,"time":0})"},
      {4294967295u, 4294967295u, -5, R"({"installer":4294967295,"session":4294967295,"time":-5})"},
  };
  ASSERT_TRUE(WriteFileBytes(path, std::string(2000, 'x')));  // a longer old marker
  for (const Case& c : cases) {
    ASSERT_TRUE(WriteRestartMarkerAt(path, c.session, c.installer, c.time));
    EXPECT_EQ(ReadFileBytes(path), c.expected);
  }
}

TEST(RestartMarkerTest, FailsOverAFolderOfThatName) {
  TempDir dir;
  const std::wstring path = dir.File(L"update-restart.json");
  ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
  EXPECT_FALSE(WriteRestartMarkerAt(path, 1, 2, 3));
  EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(RestartMarkerTest, WritesIntoTheCheckedDataFolderWithTheTimeOfNow) {
  TempDir dir;
  ASSERT_TRUE(SetEnvironmentVariableW(L"ProgramData", dir.Path().c_str()));
  ASSERT_TRUE(ServiceDataFolderTrusted());
  EXPECT_EQ(RestartMarkerPath(), dir.Path() + L"\\tavro\\update-restart.json");
  const int64_t before = std::time(nullptr);
  ASSERT_TRUE(WriteRestartMarker(1, 77));
  const auto marker = nlohmann::json::parse(ReadFileBytes(RestartMarkerPath()), nullptr, false);
  ASSERT_TRUE(marker.is_object());
  EXPECT_EQ(marker.size(), 3u);
  EXPECT_EQ(marker["installer"], 77);
  EXPECT_EQ(marker["session"], 1);
  EXPECT_GE(marker["time"].get<int64_t>(), before);
  EXPECT_LE(marker["time"].get<int64_t>(), std::time(nullptr));
}

}  // namespace
}  // namespace kelm::service
