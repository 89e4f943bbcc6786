// End to end: toasts from a scripted source reach devices as Notification messages,
// and NotificationActivate brings the helper program's window to the front.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "core/host_service.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/text.h"
#include "desktop_helper_control.h"
#include "scripted_toast_source.h"
#include "support/device_messages.h"
#include "support/log_capture.h"
#include "support/paired_device.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::Bytes;
using test::Toast;

using test::dev::kNotification;
using test::dev::kNotificationActivate;
const std::wstring kHelperApp = L"Test.Helper!App";

struct Notification {
  uint32_t id = 0;
  std::string app, title, body;
};

std::optional<Notification> ParseNotification(const Bytes& b) {
  Notification n;
  size_t at = 0;
  if (b.size() < 4) return std::nullopt;
  n.id = b[0] | b[1] << 8 | b[2] << 16 | uint32_t{b[3]} << 24;
  at = 4;
  for (std::string* text : {&n.app, &n.title, &n.body}) {
    if (at + 2 > b.size()) return std::nullopt;
    const size_t len = b[at] | b[at + 1] << 8;
    at += 2;
    if (at + len > b.size()) return std::nullopt;
    text->assign(b.begin() + at, b.begin() + at + len);
    at += len;
  }
  return n;
}

Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class NotificationEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVerbose(true);
    SetProfileDir(profile.Path());
    std::string error;
    ASSERT_TRUE(host.Initialize(error)) << error;
    host.SetPinAlwaysValid(true);
    ASSERT_TRUE(helper.Start());
    const std::wstring helperPath = test::DesktopHelper::ExePath();
    NotificationForwarder::Platform p;
    p.toasts = source;
    p.allowedPollMs = 30;
    p.idlePollMs = 30;
    p.resolve = [this, helperPath](const std::wstring& appId) {
      const int now = ++resolving;
      int seen = maxResolving.load();
      while (now > seen && !maxResolving.compare_exchange_weak(seen, now)) {
      }
      ++resolves;
      Sleep(30);
      --resolving;
      return appId == kHelperApp ? AppReference{helperPath, L""} : AppReference{};
    };
    host.Notifications().SetPlatform(p);
    options.port = static_cast<uint16_t>(39000 + GetCurrentProcessId() % 2000);
    options.name = "NOTE";
    options.pin = 123456;
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
    options.forwardNotifications = true;
    source->SetToasts({Toast(1, L"Old.App", {"was there before"})});
    ASSERT_TRUE(host.Start(options));
  }
  void TearDown() override {
    host.Shutdown();
    SetProfileDir(L"");
  }
  static Session::Timing Patient() {
    Session::Timing t;
    t.runningMs = 60000;
    return t;
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  std::shared_ptr<test::ScriptedToastSource> source = std::make_shared<test::ScriptedToastSource>();
  HostService host{SessionParts{}, Patient()};
  HostOptions options;
  test::DesktopHelper helper;
  std::atomic<int> resolving{0}, maxResolving{0}, resolves{0};
};

TEST_F(NotificationEndToEnd, DevicesWithTheFeatureGetNewToastsCutToTheirBounds) {
  test::PinPairedDevice with, without;
  ASSERT_TRUE(with.ConnectWithFeatures(options.port, 2));
  ASSERT_TRUE(without.ConnectWithFeatures(options.port, 1));
  ASSERT_TRUE(source->WaitListings(2));
  std::string longTitle = "a";
  for (int i = 0; i < 500; ++i) longTitle += "\xC3\xA9";  // 1001 bytes, byte 1000 inside a character
  std::string longBody;
  for (int i = 0; i < 1001; ++i) longBody += "\xF0\x9F\x98\x80";  // 4004 bytes
  source->Add(Toast(7, kHelperApp, {longTitle, longBody}, "Helper"));
  const auto got = with.Next(kNotification, 3000);
  ASSERT_TRUE(got);
  const auto n = ParseNotification(*got);
  ASSERT_TRUE(n);
  EXPECT_EQ(n->id, 7u);
  EXPECT_EQ(n->app, "Helper");
  EXPECT_EQ(n->title, longTitle.substr(0, 999));
  EXPECT_EQ(n->body, longBody.substr(0, 4000));
  EXPECT_FALSE(with.Next(kNotification, 500));  // once, although still listed
  EXPECT_FALSE(without.Next(kNotification, 200));
}

TEST_F(NotificationEndToEnd, ActivationRestoresAndForegroundsTheAppWindow) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 2));
  ASSERT_TRUE(source->WaitListings(2));
  source->Add(Toast(7, kHelperApp, {"Open me"}));
  ASSERT_TRUE(device.Next(kNotification, 3000));
  HWND window = helper.Window();
  ShowWindow(window, SW_MINIMIZE);
  for (int i = 0; i < 100 && !IsIconic(window); ++i) Sleep(10);
  ASSERT_TRUE(IsIconic(window));

  ASSERT_TRUE(device.client->SendRecord(kNotificationActivate, U32(99)));  // unknown: nothing happens
  Sleep(300);
  EXPECT_TRUE(IsIconic(window));
  EXPECT_EQ(resolves.load(), 0);

  ASSERT_TRUE(device.client->SendRecord(kNotificationActivate, U32(7)));
  bool front = false;
  for (int i = 0; i < 300 && !front; ++i) {
    Sleep(10);
    front = !IsIconic(window) && GetForegroundWindow() == window;
  }
  EXPECT_TRUE(front);
  EXPECT_EQ(Count(log.Text(), "INFO  Activating Test.Helper!App (already open)"), 1u);
}

TEST_F(NotificationEndToEnd, OnlyOneActivationRunsAtATime) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 2));
  ASSERT_TRUE(source->WaitListings(2));
  source->Add(Toast(8, kHelperApp, {"Many taps"}));
  ASSERT_TRUE(device.Next(kNotification, 3000));
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(device.client->SendRecord(kNotificationActivate, U32(8)));
    Sleep(10);
  }
  Sleep(500);
  EXPECT_EQ(maxResolving.load(), 1);
  EXPECT_GE(resolves.load(), 1);
  EXPECT_LT(resolves.load(), 100);
  EXPECT_GE(Count(log.Text(), "DEBUG Notification activation dropped: another one is running"), 1u);
}

// Visible top-level windows of this process (an error dialog of the shell would be one).
size_t OwnVisibleWindows() {
  size_t count = 0;
  EnumWindows(
      [](HWND window, LPARAM param) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(window)) ++*reinterpret_cast<size_t*>(param);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&count));
  return count;
}

bool WaitForCount(test::LogCapture& log, const std::string& what, size_t count, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (Count(log.Text(), what) >= count) return true;
    Sleep(20);
  }
  return Count(log.Text(), what) >= count;
}

TEST_F(NotificationEndToEnd, AnAppThatIsGoneShowsNoDialogAndFreesTheNextActivation) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 2));
  ASSERT_TRUE(source->WaitListings(2));
  source->Add(Toast(9, L"Gone.Vendor_8wekyb3d8bbwe!App", {"Uninstalled since"}));
  ASSERT_TRUE(device.Next(kNotification, 3000));
  const size_t windowsBefore = OwnVisibleWindows();
  const std::string failed = "WARN  Opening Gone.Vendor_8wekyb3d8bbwe!App failed";
  ASSERT_TRUE(device.client->SendRecord(kNotificationActivate, U32(9)));
  ASSERT_TRUE(WaitForCount(log, failed, 1, 5000)) << log.Text();
  EXPECT_EQ(OwnVisibleWindows(), windowsBefore);
  Sleep(1000);
  ASSERT_TRUE(device.client->SendRecord(kNotificationActivate, U32(9)));
  EXPECT_TRUE(WaitForCount(log, failed, 2, 5000)) << log.Text();
  EXPECT_EQ(Count(log.Text(), "Notification activation dropped"), 0u);
  EXPECT_EQ(OwnVisibleWindows(), windowsBefore);
}

TEST_F(NotificationEndToEnd, RefusedActivations) {
  test::PinPairedDevice with, without;
  ASSERT_TRUE(with.ConnectWithFeatures(options.port, 2));
  ASSERT_TRUE(without.ConnectWithFeatures(options.port, 1));
  ASSERT_TRUE(source->WaitListings(2));
  source->Add(Toast(11, kHelperApp, {"Mine"}));
  source->Add(Toast(12, L"..\\..\\Windows\\notepad.exe", {"Climbs out"}));
  source->Add(Toast(13, L"Vendor.App/..!App", {"Slash"}));
  ASSERT_TRUE(with.Next(kNotification, 3000));
  ASSERT_TRUE(with.Next(kNotification, 3000));
  ASSERT_TRUE(with.Next(kNotification, 3000));

  // A session without the notification feature cannot activate.
  ASSERT_TRUE(without.client->SendRecord(kNotificationActivate, U32(11)));
  Sleep(300);
  EXPECT_EQ(resolves.load(), 0);

  // Ids that would leave the apps folder are refused before anything resolves them.
  ASSERT_TRUE(with.client->SendRecord(kNotificationActivate, U32(12)));
  EXPECT_TRUE(WaitForCount(log, "Not activating '..\\..\\Windows\\notepad.exe': not an app id", 1, 3000))
      << log.Text();
  ASSERT_TRUE(with.client->SendRecord(kNotificationActivate, U32(13)));
  EXPECT_TRUE(WaitForCount(log, "Not activating 'Vendor.App/..!App': not an app id", 1, 3000)) << log.Text();
  EXPECT_EQ(resolves.load(), 0);

  // Forwarding off: the ids sent earlier no longer open anything.
  host.SetForwardNotifications(false);
  ASSERT_TRUE(with.client->SendRecord(kNotificationActivate, U32(11)));
  Sleep(300);
  EXPECT_EQ(resolves.load(), 0);
  EXPECT_EQ(host.Notifications().AppIdFor(11), L"");
}

TEST(AppIdAcceptable, Table) {
  struct Case {
    std::wstring id;
    bool acceptable;
  };
  const Case cases[] = {
      {L"Microsoft.WindowsCalculator_8wekyb3d8bbwe!App", true},
      {L"{6D809377-6AF0-444B-8957-A3773F02200E}\\app.exe", false},
      {L"C:/Windows/notepad.exe", false},
      {L"..", false},
      {L"a..b!App", false},
      {L"Vendor.App!App", true},
      {L"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(AppIdAcceptable(c.id), c.acceptable) << WideToUtf8(c.id);
}

}  // namespace
}  // namespace kelm
