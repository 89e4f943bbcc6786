#include "core/log.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "core/text.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::FileExists;
using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// Width of everything a file line adds around its text: the 23-character time
// stamp, a blank, the 5-character level word, a blank, and CR LF.
constexpr size_t kFileLineOverhead = 23 + 1 + 5 + 1 + 2;

class LogFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CloseLogFile();
    SetVerbose(false);
  }
  TempDir dir;
  std::wstring path = dir.File(L"host.log");
};

TEST_F(LogFileTest, WritesDatedLinesWithLevelWords) {
  ASSERT_TRUE(OpenLogFile(path));
  LogInfo("hello {} {:06}", "world", 42);
  LogWarn("careful");
  LogError("broken");
  CloseLogFile();
  const std::string text = ReadFileBytes(path);
  const std::regex threeLines(
      R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (INFO |WARN |ERROR) [^\r\n]*\r\n){3})");
  EXPECT_TRUE(std::regex_match(text, threeLines)) << text;
  EXPECT_NE(text.find(" INFO  hello world 000042\r\n"), std::string::npos);
  EXPECT_NE(text.find(" WARN  careful\r\n"), std::string::npos);
  EXPECT_NE(text.find(" ERROR broken\r\n"), std::string::npos);
}

TEST_F(LogFileTest, DebugOnlyWhenVerbose) {
  ASSERT_TRUE(OpenLogFile(path));
  LogDebug("hidden {}", 1);
  Log(LogLevel::Debug, "hidden too");
  SetVerbose(true);
  LogDebug("shown {}", 2);
  CloseLogFile();
  const std::string text = ReadFileBytes(path);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_NE(text.find(" DEBUG shown 2\r\n"), std::string::npos);
}

TEST_F(LogFileTest, ControlCharactersBecomeQuestionMarks) {
  ASSERT_TRUE(OpenLogFile(path));
  Log(LogLevel::Info, std::string("a\tb\r\nc\x7f" "d\x01" "\xc3\xa9"));
  CloseLogFile();
  const std::string text = ReadFileBytes(path);
  EXPECT_NE(text.find(" a?b??c?d?\xc3\xa9\r\n"), std::string::npos) << text;
}

TEST_F(LogFileTest, RotatesOnlyAboveTwoMebibytes) {
  const std::string message(10, 'x');
  const size_t lineSize = kFileLineOverhead + message.size();
  // A line that brings the file to exactly 2 MiB does not rotate.
  ASSERT_TRUE(WriteFileBytes(path, std::string(kLogRotateBytes - lineSize, '.')));
  ASSERT_TRUE(OpenLogFile(path));
  LogInfo("{}", message);
  EXPECT_FALSE(FileExists(path + L".1"));
  // The next line crosses it: it ends the ".1" file and the log starts empty.
  LogInfo("last-before-rotation");
  ASSERT_TRUE(FileExists(path + L".1"));
  const std::string old = ReadFileBytes(path + L".1");
  EXPECT_EQ(old.size(), kLogRotateBytes + kFileLineOverhead + 20);
  EXPECT_TRUE(old.ends_with(" INFO  last-before-rotation\r\n"));
  EXPECT_EQ(ReadFileBytes(path).size(), 0u);
  LogInfo("after");
  CloseLogFile();
  EXPECT_TRUE(ReadFileBytes(path).ends_with(" INFO  after\r\n"));
}

TEST_F(LogFileTest, OversizedFileIsRotatedWhenOpened) {
  ASSERT_TRUE(WriteFileBytes(path, std::string(3 * 1024 * 1024, 'o')));
  ASSERT_TRUE(OpenLogFile(path));
  EXPECT_EQ(ReadFileBytes(path + L".1").size(), 3u * 1024 * 1024);
  EXPECT_EQ(ReadFileBytes(path).size(), 0u);
}

TEST_F(LogFileTest, RefusesFileWithSecondName) {
  const std::wstring other = dir.File(L"elsewhere.txt");
  ASSERT_TRUE(WriteFileBytes(other, "precious\n"));
  ASSERT_TRUE(CreateHardLinkW(path.c_str(), other.c_str(), nullptr));
  EXPECT_FALSE(OpenLogFile(path));
  LogError("must not reach the linked file");
  EXPECT_EQ(ReadFileBytes(other), "precious\n");
}

TEST_F(LogFileTest, MissingFolderIsRefused) {
  EXPECT_FALSE(OpenLogFile(dir.File(L"no-such-folder\\host.log")));
}

// The console sink: captures standard output and standard error through their
// descriptors, as the console host's lines reach a pipe or a file.
class ConsoleCapture {
 public:
  ConsoleCapture(int fd, std::wstring path) : fd_(fd), path_(std::move(path)) {
    std::fflush(nullptr);
    saved_ = _dup(fd_);
    const int file = _wopen(path_.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    _dup2(file, fd_);
    _close(file);
  }
  std::string Finish() {
    std::fflush(nullptr);
    _dup2(saved_, fd_);
    _close(saved_);
    return ReadFileBytes(path_);
  }

 private:
  int fd_;
  int saved_;
  std::wstring path_;
};

TEST(LogConsoleTest, InfoToStdoutWarnToStderrWithoutDate) {
  TempDir dir;
  CloseLogFile();
  ConsoleCapture out(1, dir.File(L"out.txt"));
  ConsoleCapture err(2, dir.File(L"err.txt"));
  LogInfo("to out {}", 1);
  LogWarn("to err {}", 2);
  LogError("also err");
  LogDebug("nothing");
  const std::string errText = err.Finish();
  const std::string outText = out.Finish();
  EXPECT_TRUE(std::regex_match(outText, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} INFO  to out 1\r?\n)"))) << outText;
  EXPECT_TRUE(std::regex_match(
      errText, std::regex(R"(\d\d:\d\d:\d\d\.\d{3} WARN  to err 2\r?\n\d\d:\d\d:\d\d\.\d{3} ERROR also err\r?\n)")))
      << errText;
}

}  // namespace
}  // namespace kelm
