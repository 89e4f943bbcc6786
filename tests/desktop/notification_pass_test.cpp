// Which toasts are forwarded, what they become, and the bounded app map.
#include "desktop/notification_pass.h"

#include <gtest/gtest.h>

#include "scripted_toast_source.h"

namespace kelm {
namespace {

using test::Toast;

std::vector<uint32_t> Pass(NotificationPass& pass, const std::vector<ToastRecord>& toasts) {
  std::vector<uint32_t> forwarded;
  for (const ToastRecord& t : toasts) {
    if (auto item = pass.Consider(t)) forwarded.push_back(item->id);
  }
  pass.Finish();
  return forwarded;
}

TEST(NotificationPass, ToastsPresentAtFirstAreNotForwardedNewOnesOnce) {
  NotificationPass pass;
  const auto a = Toast(1, L"App.A", {"one"});
  const auto b = Toast(2, L"App.B", {"two"});
  const auto c = Toast(3, L"App.C", {"three"});
  EXPECT_TRUE(Pass(pass, {a, b}).empty());
  EXPECT_EQ(Pass(pass, {a, b, c}), std::vector<uint32_t>{3});
  EXPECT_TRUE(Pass(pass, {a, b, c}).empty());  // still listed: not again
  EXPECT_TRUE(Pass(pass, {a, c}).empty());
  // Id 2 went away; a new toast with that id is forwarded again.
  EXPECT_EQ(Pass(pass, {a, Toast(2, L"App.D", {"again"}), c}), std::vector<uint32_t>{2});
}

TEST(NotificationPass, ClearStartsOverUnprimed) {
  NotificationPass pass;
  Pass(pass, {});
  pass.Clear();
  EXPECT_TRUE(Pass(pass, {Toast(5, L"App", {"x"})}).empty());
}

TEST(NotificationItem, TextsAppsAndSkips) {
  struct Case {
    ToastRecord toast;
    bool forwarded;
    std::string appName, title, body;
  };
  const Case cases[] = {
      {Toast(1, L"App.A", {"Title", "line 1", "line 2"}), true, "Test app", "Title", "line 1\nline 2"},
      {Toast(2, L"App.A", {}), false, "", "", ""},
      {Toast(3, L"App.A", {"", ""}), false, "", "", ""},
      {Toast(4, L"App.A", {"", "only body"}), true, "Test app", "", "only body"},
      {Toast(5, L"tavro", {"own"}), false, "", "", ""},
      {Toast(6, L"Company.tavro_x!App", {"own"}), false, "", "", ""},
      {Toast(7, L"Tavro.App", {"not ours: case differs"}), true, "Test app", "not ours: case differs", ""},
      {Toast(8, L"tav", {"short id"}), true, "Test app", "short id", ""},
      {Toast(9, L"App.B", {"T"}, "ignored", false), true, "Windows", "T", ""},
  };
  for (const Case& c : cases) {
    const auto item = BuildNotificationItem(c.toast);
    ASSERT_EQ(item.has_value(), c.forwarded) << c.toast.id;
    if (!item) continue;
    EXPECT_EQ(item->id, c.toast.id);
    EXPECT_EQ(item->appId, c.toast.appId);
    EXPECT_EQ(item->appName, c.appName) << c.toast.id;
    EXPECT_EQ(item->title, c.title) << c.toast.id;
    EXPECT_EQ(item->body, c.body) << c.toast.id;
  }
}

TEST(NotificationAppMap, KeepsTheFiveHundredLargestIds) {
  NotificationAppMap map;
  for (uint32_t id = 600; id >= 1; --id) map.Record(id * 3, L"App" + std::to_wstring(id));
  EXPECT_EQ(map.Size(), 500u);
  EXPECT_EQ(map.SmallestId(), 101u * 3);
  EXPECT_EQ(map.Find(101 * 3), L"App101");
  EXPECT_EQ(map.Find(100 * 3), L"");
  EXPECT_EQ(map.Find(600 * 3), L"App600");
  map.Record(600 * 3, L"Replaced");
  EXPECT_EQ(map.Size(), 500u);
  EXPECT_EQ(map.Find(600 * 3), L"Replaced");
}

}  // namespace
}  // namespace kelm
