// The virtual display driver client against the test driver and against Wine's SetupAPI.
#include "media/virtual_display_driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/text.h"
#include "fake_driver.h"
#include "media/display_diagnostics.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using namespace std::chrono_literals;
using test::FakeDriver;

constexpr uint32_t kQuery = 0x22E400, kAdd = 0x22E404, kRemove = 0x22E408, kRemoveAll = 0x22E40C,
                   kKeepAlive = 0x22E410;

class DriverClientTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeDriver> fake = std::make_shared<FakeDriver>();
  test::TempDir dir;
  test::LogCapture log{dir.File(L"driver.log")};
};

std::vector<uint8_t> Le32(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> out;
  for (uint32_t v : values) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

TEST_F(DriverClientTest, RequestsCarryTheExactCodesAndBufferSizes) {
  VirtualDisplayDriver driver(fake);
  ASSERT_TRUE(driver.Open());
  EXPECT_TRUE(driver.IsOpen());
  EXPECT_TRUE(driver.Open());  // already open: no second lookup
  EXPECT_EQ(fake->Lookups(), 1);

  const auto info = driver.QueryInfo();
  ASSERT_TRUE(info);
  EXPECT_EQ(info->interfaceVersion, 1u);
  EXPECT_EQ(info->maxMonitors, 6u);

  const auto added = driver.AddMonitor({1920, 1200, 90, 0xBEEF, 7});
  ASSERT_TRUE(added);
  EXPECT_EQ(added->monitorId, 1u);
  EXPECT_EQ(added->targetId, 0x100u);
  EXPECT_EQ(added->adapterLow, 0x1234u);
  EXPECT_EQ(added->adapterHigh, 5);
  EXPECT_TRUE(driver.RemoveMonitor(added->monitorId));
  EXPECT_FALSE(driver.RemoveMonitor(99));  // the driver does not know it
  EXPECT_TRUE(driver.RemoveAllMonitors());
  driver.Close();

  struct Expected {
    uint32_t code;
    std::vector<uint8_t> in;
    size_t outSize;
  };
  const Expected expected[] = {
      {kQuery, {}, 12},
      {kAdd, Le32({24, 1920, 1200, 90, 0xBEEF, 7}), 16},
      {kRemove, Le32({1}), 0},
      {kRemove, Le32({99}), 0},
      {kRemoveAll, {}, 0},
  };
  const auto calls = fake->Calls();
  ASSERT_EQ(calls.size(), std::size(expected));
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].code, expected[i].code) << i;
    EXPECT_EQ(calls[i].in, expected[i].in) << i;
    EXPECT_EQ(calls[i].outSize, expected[i].outSize) << i;
  }
  EXPECT_EQ(fake->Violations(), 0);
  EXPECT_EQ(fake->LiveHandles(), 0u);  // closed
}

TEST_F(DriverClientTest, ShortAnswersCountAsNothing) {
  fake->infoAnswerBytes = 8;
  fake->addAnswerBytes = 12;
  VirtualDisplayDriver driver(fake);
  ASSERT_TRUE(driver.Open());
  EXPECT_FALSE(driver.QueryInfo());
  EXPECT_FALSE(driver.AddMonitor({1280, 800, 60, 0, 0}));
  const std::string text = log.Text();
  EXPECT_NE(text.find("Driver refused to add a 1280x800@60 monitor: "), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR"), std::string::npos) << text;
  // The request itself succeeded; the line must not say so.
  EXPECT_EQ(text.find("successfully"), std::string::npos) << text;
}

TEST_F(DriverClientTest, RefusedAddNamesTheDriversError) {
  fake->addError = ERROR_NOT_ENOUGH_MEMORY;
  VirtualDisplayDriver driver(fake);
  ASSERT_TRUE(driver.Open());
  EXPECT_FALSE(driver.AddMonitor({2560, 1600, 120, 0, 0}));
  const std::string text = log.Text();
  EXPECT_NE(text.find("Driver refused to add a 2560x1600@120 monitor: " + ErrorText(ERROR_NOT_ENOUGH_MEMORY)),
            std::string::npos)
      << text;
}

TEST_F(DriverClientTest, WithoutAHandleNothingIsSent) {
  VirtualDisplayDriver driver(fake);
  EXPECT_FALSE(driver.IsOpen());
  EXPECT_FALSE(driver.RemoveMonitor(1));
  EXPECT_FALSE(driver.RemoveAllMonitors());
  EXPECT_FALSE(driver.QueryInfo());
  EXPECT_FALSE(driver.AddMonitor({640, 480, 30, 0, 0}));
  EXPECT_TRUE(fake->Calls().empty());
  EXPECT_NE(log.Text().find("Driver refused to add a 640x480@30 monitor: "), std::string::npos);
}

TEST_F(DriverClientTest, MissingDriverFailsSilentlyAndAFailedOpenIsAWarning) {
  fake->present = false;
  VirtualDisplayDriver driver(fake);
  EXPECT_FALSE(driver.Open());
  EXPECT_EQ(log.Text(), "");
  fake->present = true;
  fake->openError = ERROR_ACCESS_DENIED;
  EXPECT_FALSE(driver.Open());
  EXPECT_FALSE(driver.IsOpen());
  const std::string text = log.Text();
  EXPECT_NE(text.find("WARN"), std::string::npos) << text;
  EXPECT_NE(text.find("Opening the tavro driver failed: " + ErrorText(ERROR_ACCESS_DENIED)), std::string::npos) << text;
}

TEST_F(DriverClientTest, KeepAliveEveryTwoSecondsWhileOpenAndNoneAfterClose) {
  VirtualDisplayDriver driver(fake);
  ASSERT_TRUE(driver.Open());
  const uint64_t opened = GetTickCount64();
  std::this_thread::sleep_for(6700ms);
  driver.Close();
  const uint64_t closed = GetTickCount64();
  std::this_thread::sleep_for(2500ms);

  std::vector<uint64_t> beats;
  for (const auto& c : fake->Calls()) {
    if (c.code == kKeepAlive) {
      EXPECT_TRUE(c.in.empty());
      EXPECT_EQ(c.outSize, 0u);
      beats.push_back(c.atMs);
    }
  }
  ASSERT_EQ(beats.size(), 3u);
  uint64_t previous = opened;
  for (uint64_t at : beats) {
    EXPECT_NEAR(static_cast<double>(at - previous), 2000.0, 300.0);
    EXPECT_LT(at, closed);
    previous = at;
  }
  driver.Close();  // twice is harmless
  EXPECT_FALSE(driver.IsOpen());
  EXPECT_EQ(fake->Closes(), 1);
  EXPECT_EQ(fake->Violations(), 0);

  // Opening again looks the interface up again and beats again.
  ASSERT_TRUE(driver.Open());
  EXPECT_EQ(fake->Lookups(), 2);
  std::this_thread::sleep_for(2300ms);
  driver.Close();
  EXPECT_EQ(fake->Count(kKeepAlive), 4u);
}

TEST_F(DriverClientTest, RequestsRacingCloseAndOpenNeverMeetAClosedOrReusedHandle) {
  fake->requestDelayMs = 2;  // widen the window in which a close could overtake a request
  VirtualDisplayDriver driver(fake);
  ASSERT_TRUE(driver.Open());
  std::atomic<bool> stop{false};
  std::atomic<int> added{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      while (!stop) {
        if (const auto m = driver.AddMonitor({1920, 1080, 60, 0, 0})) {
          ++added;
          driver.RemoveMonitor(m->monitorId);
        }
        driver.RemoveAllMonitors();
      }
    });
  }
  std::thread flipper([&] {
    while (!stop) {
      driver.Close();
      std::this_thread::sleep_for(1ms);
      driver.Open();
      std::this_thread::sleep_for(3ms);
    }
  });
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (auto& w : workers) w.join();
  flipper.join();
  driver.Close();

  EXPECT_EQ(fake->Violations(), 0);
  EXPECT_GT(added.load(), 20);
  EXPECT_GT(fake->Opens(), 20);
  EXPECT_EQ(fake->Opens(), fake->Closes());
  EXPECT_EQ(fake->LiveHandles(), 0u);
  // Handle values were reused, so a stale copy would have reached another open.
  EXPECT_LT(fake->DistinctHandles(), static_cast<size_t>(fake->Opens()));
}

TEST_F(DriverClientTest, RemoveMonitorsCommandRemovesAllAndCloses) {
  {
    VirtualDisplayDriver driver(fake);
    EXPECT_EQ(RemoveMonitorsWith(driver), 0);
    EXPECT_FALSE(driver.IsOpen());
  }
  EXPECT_EQ(fake->Count(kRemoveAll), 1u);
  EXPECT_NE(log.Text().find("All tavro virtual monitors removed"), std::string::npos);

  fake->present = false;
  VirtualDisplayDriver missing(fake);
  EXPECT_EQ(RemoveMonitorsWith(missing), 1);
  const std::string text = log.Text();
  EXPECT_NE(text.find("ERROR"), std::string::npos);
  EXPECT_NE(text.find("Display driver not found"), std::string::npos);
}

TEST_F(DriverClientTest, WinesSetupApiFindsNoDriverAndOpenSaysNothing) {
  EXPECT_EQ(FindDriverInterface(), L"");
  VirtualDisplayDriver driver;
  EXPECT_FALSE(driver.Open());
  EXPECT_FALSE(driver.IsOpen());
  EXPECT_FALSE(driver.RemoveAllMonitors());
  EXPECT_EQ(log.Text(), "");
}

}  // namespace
}  // namespace kelm
