// The notification forwarder's thread with a scripted toast source, and the real
// Windows Runtime listener as this machine has it.
#include "desktop/notification_forwarder.h"

#include <gtest/gtest.h>
#include <initguid.h>
#include <windows.foundation.h>

#include <chrono>
#include <mutex>

#include "core/log.h"
#include "desktop/notification_listener_abi.h"
#include "desktop/winrt_support.h"
#include "scripted_toast_source.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using Clock = std::chrono::steady_clock;
using test::Toast;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ForwarderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVerbose(true);
    NotificationForwarder::Platform p;
    p.toasts = source;
    p.allowedPollMs = 20;
    p.idlePollMs = 20;
    forwarder.SetPlatform(p);
  }
  void Start() {
    forwarder.Start([this](const NotificationForwarder::Item& item) {
      std::lock_guard lock(mutex);
      items.push_back(item);
    });
  }
  std::vector<NotificationForwarder::Item> Items() {
    std::lock_guard lock(mutex);
    return items;
  }

  test::TempDir dir;
  test::LogCapture log{dir.File(L"forwarder.log")};
  std::shared_ptr<test::ScriptedToastSource> source = std::make_shared<test::ScriptedToastSource>();
  NotificationForwarder forwarder;
  std::mutex mutex;
  std::vector<NotificationForwarder::Item> items;
};

TEST_F(ForwarderTest, NewToastsAreForwardedOnceAndRememberTheirApp) {
  source->SetToasts({Toast(1, L"Old.App", {"already there"})});
  Start();
  ASSERT_TRUE(source->WaitListings(2));
  source->Add(Toast(2, L"New.App!Main", {"Hello", "first", "second"}));
  // Three more listings: the later ones begin only once the first, which brought the new
  // toast, was handled.
  ASSERT_TRUE(source->WaitListings(3));
  EXPECT_EQ(forwarder.AppIdFor(2), L"New.App!Main");
  EXPECT_EQ(forwarder.AppIdFor(1), L"");
  forwarder.Stop();
  const auto got = Items();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, 2u);
  EXPECT_EQ(got[0].title, "Hello");
  EXPECT_EQ(got[0].body, "first\nsecond");
  EXPECT_EQ(got[0].appName, "Test app");
  EXPECT_NE(log.Text().find("DEBUG Notification from Test app: Hello"), std::string::npos);
  // Forwarding off: what was sent earlier opens nothing any more. The seen set goes too,
  // so a restart primes again and forwards nothing already there.
  EXPECT_EQ(forwarder.AppIdFor(2), L"");
  Start();
  ASSERT_TRUE(source->WaitListings(2));
  forwarder.Stop();
  EXPECT_EQ(Items().size(), 1u);
  EXPECT_EQ(forwarder.AppIdFor(2), L"");
}

TEST_F(ForwarderTest, EachAccessChangeIsLoggedOnceWithItsText) {
  source->access = NotificationAccess::Waiting;
  Start();
  Sleep(100);
  const NotificationAccess steps[] = {NotificationAccess::Unavailable, NotificationAccess::Denied,
                                      NotificationAccess::Allowed, NotificationAccess::Waiting};
  for (NotificationAccess a : steps) {
    source->access = a;
    Sleep(150);
  }
  forwarder.Stop();
  const std::string text = log.Text();
  EXPECT_EQ(Count(text, "INFO  Notification forwarding: waiting for access"), 1u);  // only after a change
  EXPECT_EQ(Count(text, "INFO  Notification forwarding: unavailable (identity package not registered)"), 1u);
  EXPECT_EQ(Count(text, "INFO  Notification forwarding: access denied (Windows settings)"), 1u);
  EXPECT_EQ(Count(text, "INFO  Notification forwarding: on"), 1u);
}

TEST_F(ForwarderTest, FailedListingsAreRetriedAndKeepTheSeenSet) {
  source->SetToasts({Toast(1, L"A", {"a"})});
  Start();
  ASSERT_TRUE(source->WaitListings(1));
  source->failures = 2;
  source->Add(Toast(2, L"B", {"b"}));
  ASSERT_TRUE(source->WaitListings(2));
  forwarder.Stop();
  ASSERT_EQ(Items().size(), 1u);
  EXPECT_EQ(Items()[0].id, 2u);
  EXPECT_EQ(Count(log.Text(), "DEBUG Reading notifications failed: 0x80004005 scripted failure"), 2u);
}

TEST_F(ForwarderTest, AListingThatNeverCompletesLetsStopReturn) {
  source->hang = true;
  Start();
  Sleep(100);
  const auto start = Clock::now();
  forwarder.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(forwarder.Running());
}

TEST(NotificationPlatform, WithoutPackageIdentityAccessIsUnavailableAndLoggedOnce) {
  test::TempDir dir;
  test::LogCapture log{dir.File(L"platform.log")};
  EXPECT_FALSE(HasPackageIdentity());
  NotificationForwarder forwarder;  // the Windows Runtime listener
  EXPECT_EQ(forwarder.CurrentAccess(), NotificationAccess::Unavailable);
  forwarder.Start([](const NotificationForwarder::Item&) {});
  Sleep(300);
  const auto start = Clock::now();
  forwarder.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(Count(log.Text(), "INFO  Notification forwarding: unavailable (identity package not registered)"), 1u);

  bool answered = false;
  NotificationAccess answer = NotificationAccess::Allowed;
  NotificationForwarder::RequestAccess([&](NotificationAccess a) {
    answered = true;
    answer = a;
  });
  EXPECT_TRUE(answered);  // at once, on this thread
  EXPECT_EQ(answer, NotificationAccess::Unavailable);
}

TEST(WinRtIds, ParameterizedIdsMatchKnownOnes) {
  using winrt::ParameterizedIid;
  using winrt::Pinterface;
  EXPECT_TRUE(IsEqualGUID(ParameterizedIid(Pinterface(winrt::kVectorViewGuid, "string")), IID___FIVectorView_1_HSTRING));
  EXPECT_TRUE(IsEqualGUID(ParameterizedIid(Pinterface(winrt::kAsyncOperationGuid, "b1")), IID___FIAsyncOperation_1_boolean));
  EXPECT_TRUE(IsEqualGUID(ParameterizedIid(Pinterface(winrt::kAsyncCompletedHandlerGuid, "b1")),
                          IID___FIAsyncOperationCompletedHandler_1_boolean));
}

}  // namespace
}  // namespace kelm
