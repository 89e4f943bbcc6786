#include "core/text.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "core/clock.h"

namespace kelm {
namespace {

TEST(TextTest, Utf8AndWideRoundTrip) {
  const std::string utf8 = "PC \xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80";
  const std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, std::wstring(L"PC \u00e9t\u00e9 \U0001F600"));
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(WideToUtf8(L""), "");
}

TEST(TextTest, EmbeddedNulIsKept) {
  const std::string withNul("a\0b", 3);
  EXPECT_EQ(Utf8ToWide(withNul).size(), 3u);
  EXPECT_EQ(WideToUtf8(Utf8ToWide(withNul)), withNul);
}

TEST(TextTest, ErrorTextWithSystemMessage) {
  const std::string text = ErrorText(static_cast<uint32_t>(E_ACCESSDENIED));
  ASSERT_GT(text.size(), 11u);
  EXPECT_EQ(text.substr(0, 11), "0x80070005 ");
  EXPECT_NE(text.back(), ' ');
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(ErrorText(ERROR_FILE_NOT_FOUND).substr(0, 11), "0x00000002 ");
}

TEST(TextTest, ErrorTextWithoutMessageHasNoTrailingBlank) {
  EXPECT_EQ(ErrorText(0x2BADF00Du), "0x2BADF00D");
}

TEST(TextTest, FailedTextNamesTheOperationAndTheDecimalCode) {
  struct Case {
    std::string_view operation;
    DWORD code;
    std::string_view want;
  };
  for (const Case& c : {Case{"connecting", 12019, "connecting failed (12019)"},
                        Case{"saving the installer", ERROR_HANDLE_DISK_FULL, "saving the installer failed (39)"},
                        Case{"download", 0, "download failed (0)"},
                        Case{"WebSocket upgrade", 0xFFFFFFFFu, "WebSocket upgrade failed (4294967295)"}}) {
    EXPECT_EQ(FailedText(c.operation, c.code), c.want);
  }
}

TEST(ClockTest, MonotonicMicroseconds) {
  const uint64_t a = NowMicros();
  Sleep(20);
  const uint64_t b = NowMicros();
  EXPECT_GE(b - a, 15000u);
  EXPECT_LT(b - a, 2000000u);
}

}  // namespace
}  // namespace kelm
