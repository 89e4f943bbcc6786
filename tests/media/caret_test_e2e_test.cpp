// The real tavro.exe --caret-test on the screen the pattern painter shows.
#include <gtest/gtest.h>

#include <regex>

#include "core/clock.h"
#include "pattern_painter_control.h"
#include "support/process.h"
#include "test_pattern.h"

namespace kelm {
namespace {

std::wstring CaretTestLine() { return L"\"" + test::SiblingExe(L"tavro.exe") + L"\" --caret-test"; }

bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

TEST(CaretTestCommand, FindsTheBlinkingCaretOfAFocusedEdit) {
  test::PatternPainter painter;
  ASSERT_TRUE(painter.Start());
  ASSERT_EQ(painter.Send(test::kPainterShowEdit, 1), 1);
  const intptr_t centre = painter.Send(test::kPainterCaretCentre, 0);
  ASSERT_NE(centre, 0) << "the edit control has no caret";
  const int caretX = static_cast<int>(centre & 0xFFFF);
  const int caretY = static_cast<int>((centre >> 16) & 0xFFFF);

  const test::ProcessResult r = test::RunProcess(CaretTestLine(), 30000);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 0u) << r.out << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"(Caret found at \((-?\d+), (-?\d+)\))"))) << r.out << r.err;
  EXPECT_NEAR(std::stoi(m[1]), caretX, 4) << r.out;
  EXPECT_NEAR(std::stoi(m[2]), caretY, 4) << r.out;
}

TEST(CaretTestCommand, WithoutACaretGivesUpAfterFiveSeconds) {
  test::PatternPainter painter;
  ASSERT_TRUE(painter.Start());
  const uint64_t start = NowMicros();
  const test::ProcessResult r = test::RunProcess(CaretTestLine(), 30000);
  const uint64_t took = NowMicros() - start;
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 3u) << r.out << r.err;
  EXPECT_NE(r.out.find("No blinking caret found"), std::string::npos) << r.out << r.err;
  EXPECT_GE(took, 5000000u);
  EXPECT_LT(took, 12000000u);
}

TEST(CaretTestCommand, WithoutCaptureReportsFailure) {
  if (!UnderWine()) GTEST_SKIP() << "needs Wine's switch for a Direct3D without 3D";
  // Wine's Direct3D without 3D support: outputs are listed, but no device can be made.
  ASSERT_TRUE(SetEnvironmentVariableW(L"WINE_D3D_CONFIG", L"renderer=no3d"));
  const test::ProcessResult r = test::RunProcess(CaretTestLine(), 30000);
  SetEnvironmentVariableW(L"WINE_D3D_CONFIG", nullptr);
  ASSERT_TRUE(r.started);
  EXPECT_EQ(r.exitCode, 1u) << r.out << r.err;
  EXPECT_NE(r.err.find("Capture failed"), std::string::npos) << r.out << r.err;
}

}  // namespace
}  // namespace kelm
