// Runs the real tavro.exe and checks what its command line does.
#include <gtest/gtest.h>

#include "core/command_line.h"
#include "support/process.h"

namespace kelm {
namespace {

test::ProcessResult RunTavro(const std::wstring& args) {
  return test::RunProcess(L"\"" + test::SiblingExe(L"tavro.exe") + L"\" " + args);
}

std::string Normalised(std::string text) {
  std::string out;
  for (char c : text) {
    if (c != '\r') out += c;
  }
  return out;
}

TEST(EntryTest, HelpPrintsUsageAndExitsZero) {
  const test::ProcessResult r = RunTavro(L"--help");
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 0u);
  EXPECT_EQ(Normalised(r.out), UsageText());
  EXPECT_EQ(r.err, "");
  EXPECT_NE(UsageText().find("%APPDATA%\\tavro\\settings.json"), std::string::npos);
  EXPECT_NE(UsageText().find("  --port N            TCP port (default 27183)\n"), std::string::npos);
}

TEST(EntryTest, ErrorsPrintTheLineThenUsageWithExitTwo) {
  struct Case {
    std::wstring args;
    std::string error;
  };
  for (const Case& c : {Case{L"--Console", "Unknown option: --Console"},
                        Case{L"--help --bogus", "Unknown option: --bogus"},
                        Case{L"--console --pin 1234567",
                             "--pin expects exactly six digits (for example --pin 012345), not \"1234567\""},
                        Case{L"--console --pin abc",
                             "--pin expects exactly six digits (for example --pin 012345), not \"abc\""},
                        Case{L"--console --pin",
                             "--pin expects exactly six digits (for example --pin 012345), but no value followed it"},
                        Case{L"--update-url http://x",
                             "--update-url and --update-key are for tests and need --profile"}}) {
    const test::ProcessResult r = RunTavro(c.args);
    ASSERT_TRUE(r.started);
    EXPECT_EQ(r.exitCode, 2u);
    EXPECT_EQ(Normalised(r.err), c.error + "\n\n");
    EXPECT_EQ(Normalised(r.out), UsageText());
  }
}

}  // namespace
}  // namespace kelm
