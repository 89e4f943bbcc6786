// The page host in this process against the WebView2 double: what it sets on the view,
// the page it loads, where navigations go, the page's messages, and what happens when
// the browser's processes fail or the environment cannot be made.
#include <gtest/gtest.h>

#include <objbase.h>

#include <string>
#include <vector>

#include "app/web_ui.h"
#include "app/web_ui_rules.h"
#include "core/paths.h"
#include "core/text.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "webview2_double_driver.h"

namespace kelm {
namespace {

using nlohmann::json;
using Driver = testing::WebView2DoubleDriver;

// tavro.exe beside the test, loaded for its resources only: the real page resource.
HINSTANCE TavroResources() {
  static HMODULE module = LoadLibraryExW((ExecutableDir() + L"\\tavro.exe").c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  return module;
}

struct Recorded {
  int ready = 0;
  std::vector<std::pair<std::string, json>> commands;
  std::vector<std::pair<uint64_t, std::vector<std::wstring>>> drops;
  int creationFailed = 0;
  int dialogs = 0;
  std::vector<std::wstring> opened;
};

class WebUiViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    window = CreateWindowExW(0, L"STATIC", L"tavro test", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                             nullptr, nullptr);
    ShowWindow(window, SW_SHOWNOACTIVATE);
  }
  void TearDown() override {
    page.reset();
    DestroyWindow(window);
    SetEnvironmentVariableW(L"WEBVIEW2_DEFAULT_BACKGROUND_COLOR", nullptr);
  }

  // The double links to one driver per process and keeps reading from it, so it stays
  // loaded (CTest runs each test in a process of its own) and the driver is made once.
  void Make(bool developer, json hello = {{"hello", 1}}) {
    static HMODULE pinned = LoadLibraryW(LoaderPath().c_str());
    ASSERT_NE(pinned, nullptr);
    if (!driver) {
      driver = std::make_unique<Driver>(std::move(hello));
      SetEnvironmentVariableA("TAVRO_WEBVIEW2_DOUBLE_PORT", driver->PortText().c_str());
    }
    page = std::make_unique<WebUi>(
        TavroResources(), developer,
        WebUi::Callbacks{[this] { ++rec.ready; },
                         [this](const std::string& c, const json& m) { rec.commands.emplace_back(c, m); },
                         [this](uint64_t id, std::vector<std::wstring> files) { rec.drops.emplace_back(id, files); },
                         [this] { ++rec.creationFailed; }});
    page->SetLoaderPath(LoaderPath());
    page->SetDialogCalls({[this](const TASKDIALOGCONFIG*) {
                            ++rec.dialogs;
                            return S_OK;
                          },
                          nullptr});
    page->SetOpenCall([this](const std::wstring& uri) { rec.opened.push_back(uri); });
  }
  // Attach and wait for the page to be loaded.
  json AttachAndLoad(bool backdrop) {
    page->Attach(window, backdrop);
    return driver->WaitFor([](const json& l) { return l.contains("nav"); });
  }
  void Ready() {
    driver->Write({{"msg", {{"cmd", "ready"}}}});
    driver->Settle();
  }
  std::map<std::string, bool> Settings(size_t from = 0) const {
    std::map<std::string, bool> out;
    for (const json& l : driver->SeenSince(from, [](const json& l) { return l.value("call", "") == "setting"; }))
      out[l["name"]] = l["value"];
    return out;
  }

  static std::wstring LoaderPath() { return Utf8ToWide(TAVRO_WEBVIEW2_DOUBLE_DIR) + L"\\WebView2Loader.dll"; }

  std::unique_ptr<Driver> driver;
  std::unique_ptr<WebUi> page;
  HWND window = nullptr;
  Recorded rec;
};

std::string PageSourceWith(const char* backdrop) {
  std::string page = test::ReadFileBytes(Utf8ToWide(TAVRO_PAGE_SOURCE));
  const size_t at = page.find("{{BACKDROP}}");
  if (at != std::string::npos) page.replace(at, 12, backdrop);
  return page;
}

TEST_F(WebUiViewTest, SettingsBackgroundAndPageFollowTheDeveloperAndBackdropFlags) {
  struct Row {
    bool developer, backdrop, dark;
  };
  for (const Row row : {Row{false, false, false}, Row{true, false, false}, Row{false, true, false}, Row{false, false, true}}) {
    SCOPED_TRACE(::testing::Message() << "developer " << row.developer << " backdrop " << row.backdrop);
    Make(row.developer);
    const size_t from = driver->Seen().size();
    SetEnvironmentVariableW(L"WEBVIEW2_DEFAULT_BACKGROUND_COLOR", L"stale");
    const json nav = AttachAndLoad(row.backdrop);
    if (row.dark) page->SetDarkBackground(true);
    driver->Settle();
    const json created = driver->SeenSince(from, [](const json& l) {
      return l.value("call", "") == "CreateCoreWebView2EnvironmentWithOptions";
    }).at(0);
    EXPECT_TRUE(created["browserFolder"].is_null());
    EXPECT_EQ(created["options"], false);
    EXPECT_EQ(created["userDataFolder"], WideToUtf8(LocalDataDir() + L"\\WebView2"));
    if (row.backdrop) {
      EXPECT_EQ(created["backgroundColorVariable"], "0");
    } else {
      EXPECT_TRUE(created["backgroundColorVariable"].is_null()) << created.dump();
    }
    const std::map<std::string, bool> s = Settings(from);
    const std::map<std::string, bool> expected = {
        {"AreDevToolsEnabled", row.developer},        {"AreDefaultContextMenusEnabled", row.developer},
        {"AreBrowserAcceleratorKeysEnabled", row.developer}, {"IsZoomControlEnabled", false},
        {"IsStatusBarEnabled", false},                {"IsBuiltInErrorPageEnabled", false},
        {"IsPinchZoomEnabled", false},                {"IsSwipeNavigationEnabled", false}};
    EXPECT_EQ(s, expected);
    const auto colors = driver->SeenSince(from, [](const json& l) { return l.value("call", "") == "put_DefaultBackgroundColor"; });
    ASSERT_FALSE(colors.empty());
    EXPECT_EQ(colors.front()["a"], row.backdrop ? 0 : 255);
    if (!row.backdrop) {
      EXPECT_EQ(colors.front()["rgb"], 0xF3F3F3);
    }
    if (row.dark) {
      EXPECT_EQ(colors.back()["rgb"], 0x202020);
    }
    const auto drop = driver->SeenSince(from, [](const json& l) { return l.value("call", "") == "put_AllowExternalDrop"; });
    ASSERT_EQ(drop.size(), 1u);
    EXPECT_EQ(drop[0]["value"], false);
    EXPECT_EQ(nav["nav"], PageSourceWith(row.backdrop ? "mica" : "solid"));
    const auto visible = driver->SeenSince(from, [](const json& l) { return l.value("call", "") == "put_IsVisible"; });
    ASSERT_FALSE(visible.empty());
    EXPECT_EQ(visible.back()["value"], true);
    page.reset();
  }
}

TEST_F(WebUiViewTest, NothingIsPostedBeforeReadyAndNavigationsStayOrLeaveByScheme) {
  Make(false);
  AttachAndLoad(false);
  page->PostJson({{"type", "status"}});
  driver->Settle();
  EXPECT_TRUE(driver->SeenSince(0, Driver::IsPost).empty());
  Ready();
  EXPECT_EQ(rec.ready, 1);
  EXPECT_TRUE(page->PageReady());
  // Invalid UTF-8 in a text is posted as U+FFFD instead of throwing.
  page->PostJson({{"type", "status"}, {"x", std::string("a\xFF")}});
  EXPECT_EQ(driver->WaitPost("status")["x"], "a\xEF\xBF\xBD");

  struct Row {
    const char* uri;
    bool stays;
    bool opened;
  };
  const Row rows[] = {{"data:text/html,<p>x</p>", true, false}, {"about:blank", true, false},
                      {"https://example.com/a", false, true},  {"http://example.com/", false, true},
                      {"ms-settings:notifications", false, true}, {"HTTPS://x", false, false},
                      {"file:///C:/Windows/win.ini", false, false}, {"javascript:alert(1)", false, false},
                      {"ftp://example.com/", false, false},     {"Data:text/html,x", false, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.uri);
    rec.opened.clear();
    driver->Write({{"navigate", row.uri}});
    const json seen = driver->WaitFor([](const json& l) { return l.value("call", "") == "navigation"; });
    EXPECT_EQ(seen["cancel"], !row.stays);
    EXPECT_EQ(rec.opened, row.opened ? std::vector<std::wstring>{Utf8ToWide(row.uri)} : std::vector<std::wstring>{});
    rec.opened.clear();
    driver->Write({{"newWindow", row.uri}});
    EXPECT_EQ(driver->WaitFor([](const json& l) { return l.value("call", "") == "newWindow"; })["handled"], true);
    EXPECT_EQ(rec.opened, row.opened ? std::vector<std::wstring>{Utf8ToWide(row.uri)} : std::vector<std::wstring>{});
  }
}

TEST_F(WebUiViewTest, MessagesReachTheirCallbacksAndBadOnesAreLogged) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"host.log"));
  Make(false);
  AttachAndLoad(false);
  Ready();
  driver->Write({{"drop", {{"id", 7}, {"paths", {"C:\\a.txt", "C:\\b.png"}}, {"nonFile", 1}}}});
  driver->Write({{"drop", {{"paths", {"C:\\c.txt"}}}}});
  driver->Write({{"msg", {{"cmd", "newPin"}}}});
  driver->Write({{"msg", json::array({1, 2})}});
  driver->Write({{"msg", "just text"}});
  driver->Write({{"msg", {{"cmd", 5}}}});
  driver->Write({{"drop", {{"id", "seven"}, {"paths", {"C:\\d.txt"}}}}});
  driver->Settle();
  ASSERT_EQ(rec.drops.size(), 2u);
  EXPECT_EQ(rec.drops[0].first, 7u);
  EXPECT_EQ(rec.drops[0].second, (std::vector<std::wstring>{L"C:\\a.txt", L"C:\\b.png"}));
  EXPECT_EQ(rec.drops[1].first, 0u);
  EXPECT_EQ(rec.drops[1].second, std::vector<std::wstring>{L"C:\\c.txt"});
  ASSERT_EQ(rec.commands.size(), 1u);
  EXPECT_EQ(rec.commands[0].first, "newPin");
  EXPECT_EQ(rec.commands[0].second, json({{"cmd", "newPin"}}));
  const std::string text = log.Text();
  EXPECT_EQ(test::LogLines(text, "WARN", "UI message '{\"cmd\":5}': "), 1u) << text;
  EXPECT_EQ(test::LogLines(text, "WARN", "UI message '{\"cmd\":\"dropFiles\",\"id\":\"seven\"}': "), 1u) << text;
  EXPECT_EQ(test::LogLines(text, "WARN", "type must be number, but is string"), 1u) << text;
  EXPECT_EQ(test::LogLines(text, "WARN", "UI message"), 2u) << "non-objects are ignored without a trace\n" << text;
}

TEST_F(WebUiViewTest, ProcessFailuresRecreateReloadOrOnlyLog) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"host.log"));
  Make(false);
  AttachAndLoad(false);
  Ready();
  // Render process gone or hung: reload, and nothing reaches the page before its next "ready".
  for (int kind : {1, 2}) {
    const size_t from = driver->Seen().size();
    driver->Write({{"processFailed", kind}});
    driver->WaitCall("Reload");
    page->PostJson({{"type", "status"}});
    driver->Settle();
    EXPECT_TRUE(driver->SeenSince(from, Driver::IsPost).empty()) << kind;
    EXPECT_FALSE(page->PageReady());
    Ready();
  }
  // Other kinds are only logged.
  size_t from = driver->Seen().size();
  driver->Write({{"processFailed", 5}});
  driver->Settle();
  EXPECT_TRUE(driver->SeenSince(from, [](const json& l) { return l.value("call", "") == "Reload" || l.contains("nav"); }).empty());
  EXPECT_TRUE(page->PageReady());
  EXPECT_EQ(test::LogLines(log.Text(), "WARN", "WebView2 process failed (kind 5)"), 1u);

  // The browser gone: the view is made again, three times within a minute at most.
  for (int i = 0; i < 3; ++i) {
    driver->Write({{"processFailed", 0}});
    driver->WaitFor([](const json& l) { return l.contains("nav"); });
    EXPECT_FALSE(page->PageReady());
    Ready();
  }
  EXPECT_EQ(rec.dialogs, 0);
  from = driver->Seen().size();
  driver->Write({{"processFailed", 0}});
  driver->Settle();
  EXPECT_TRUE(driver->SeenSince(from, [](const json& l) { return l.contains("nav"); }).empty());
  EXPECT_EQ(rec.dialogs, 1);
  EXPECT_EQ(rec.creationFailed, 1);
  EXPECT_TRUE(page->RuntimeMissing());
  EXPECT_FALSE(page->HasView());
  const std::string text = log.Text();
  EXPECT_EQ(test::LogLines(text, "WARN", "WebView2 process failed (kind 0)"), 4u);
  EXPECT_EQ(test::LogLines(text, "ERROR", "WebView2 initialization failed: 0x"), 1u) << text;
}

TEST_F(WebUiViewTest, AFailingEnvironmentIsReportedOnce) {
  test::TempDir dir;
  test::LogCapture log(dir.File(L"host.log"));
  Make(false, {{"fail", static_cast<int64_t>(static_cast<int32_t>(0x80070005))}});
  page->Attach(window, false);
  driver->WaitCall("CreateCoreWebView2EnvironmentWithOptions");
  driver->Settle();
  for (int i = 0; i < 50 && rec.dialogs == 0; ++i) driver->Settle();
  EXPECT_EQ(rec.dialogs, 1);
  EXPECT_EQ(rec.creationFailed, 1);
  EXPECT_TRUE(page->RuntimeMissing());
  EXPECT_EQ(test::LogLines(log.Text(), "ERROR", "WebView2 initialization failed: 0x80070005"), 1u) << log.Text();
}

}  // namespace
}  // namespace kelm
