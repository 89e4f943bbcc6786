// The log-safe form of texts from outside: what is replaced, what is kept.
#include <gtest/gtest.h>

#include <string>

#include "core/log.h"
#include "core/utf8.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

TEST(SanitizeForLogTest, ReplacesEveryCharacterThatCouldBreakOrDisguiseALine) {
  struct Case {
    const char* what;
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain ASCII and UTF-8 stay", "Pixel 8 \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "Pixel 8 \xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80"},
      {"C0 controls, CR, LF, tab and DEL", std::string("a\tb\rc\nd\x7F" "e\0f", 11), "a?b?c?d?e?f"},
      {"NEL and other C1 controls", "a\xC2\x85" "b\xC2\x80" "c\xC2\x9F" "d", "a?b?c?d"},
      {"line and paragraph separators", "a\xE2\x80\xA8" "b\xE2\x80\xA9" "c", "a?b?c"},
      {"bidi override, embedding, isolates and marks",
       "\xE2\x80\xAE" "a\xE2\x80\xAA" "b\xE2\x81\xA6" "c\xE2\x81\xA9" "d\xE2\x80\x8F" "e\xD8\x9C", "?a?b?c?d?e?"},
      {"zero-width and byte-order marks, soft hyphen, tags",
       "a\xE2\x80\x8B" "b\xEF\xBB\xBF" "c\xC2\xAD" "d\xF3\xA0\x80\x81", "a?b?c?d?"},
      {"invalid bytes, overlong forms, surrogates, cut sequences",
       "a\xFF" "b\xC0\xAF" "c\xED\xA0\x80" "d\xE2\x80", "a?b??c???d??"},
      {"characters next to the unsafe ranges stay", "\xE2\x80\xA7\xE2\x80\xAF\xC2\xA0\xC2\xAE",
       "\xE2\x80\xA7\xE2\x80\xAF\xC2\xA0\xC2\xAE"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SanitizeForLog(c.in), c.out) << c.what;
    EXPECT_EQ(SanitizeUtf8(SanitizeForLog(c.in)), SanitizeForLog(c.in)) << c.what << ": not valid UTF-8";
  }
}

TEST(SanitizeForLogTest, TheLoggerStillReplacesControlCharactersOfItsOwnText) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"host.log"));
  LogInfo("tab\there, CR\rLF\n, name '{}'", SanitizeForLog("x\xE2\x80\xA8y"));
  const std::string text = log.Text();
  EXPECT_NE(text.find("INFO  tab?here, CR?LF?, name 'x?y'\r\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace kelm
