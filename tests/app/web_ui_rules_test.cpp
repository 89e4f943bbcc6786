// Which navigations stay in the page, the backdrop placeholder, and the re-creation limit.
#include "app/web_ui_rules.h"

#include <gtest/gtest.h>

#include <iterator>

namespace kelm {
namespace {

TEST(WebUiRulesTest, OnlyThePagesOwnDocumentsStayInside) {
  const std::pair<const wchar_t*, bool> rows[] = {
      {L"data:text/html,<p>x</p>", true}, {L"data:", true},           {L"about:blank", true},
      {L"DATA:text/html,x", false},       {L"about:blank#x", false},  {L"about:srcdoc", false},
      {L"https://example.com/", false},   {L"http://example.com/", false}, {L"ms-settings:privacy", false},
      {L"file:///C:/x", false},           {L"javascript:alert(1)", false}, {L"", false},
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(StaysInPage(rows[i].first), rows[i].second) << "row " << i;
}

TEST(WebUiRulesTest, OnlyTheFirstPlaceholderIsReplaced) {
  EXPECT_EQ(PageWithBackdrop(L"<b class=\"{{BACKDROP}}\">{{BACKDROP}}</b>", false),
            L"<b class=\"solid\">{{BACKDROP}}</b>");
  EXPECT_EQ(PageWithBackdrop(L"{{BACKDROP}}", true), L"mica");
  EXPECT_EQ(PageWithBackdrop(L"no placeholder", true), L"no placeholder");
  EXPECT_EQ(PageWithBackdrop(L"", true), L"");
}

TEST(WebUiRulesTest, AtMostThreeRecreationsWithinAMinute) {
  RecreateLimit limit;
  const auto t0 = RecreateLimit::Clock::time_point{} + std::chrono::hours(1);
  EXPECT_TRUE(limit.Allow(t0));
  EXPECT_TRUE(limit.Allow(t0 + std::chrono::seconds(1)));
  EXPECT_TRUE(limit.Allow(t0 + std::chrono::seconds(2)));
  EXPECT_FALSE(limit.Allow(t0 + std::chrono::seconds(3)));
  EXPECT_FALSE(limit.Allow(t0 + std::chrono::seconds(59)));
  // The first one leaves the window at 60 s: one more is allowed, then none again.
  EXPECT_TRUE(limit.Allow(t0 + std::chrono::seconds(60)));
  EXPECT_FALSE(limit.Allow(t0 + std::chrono::seconds(60)));
  EXPECT_TRUE(limit.Allow(t0 + std::chrono::seconds(200)));
}

}  // namespace
}  // namespace kelm
