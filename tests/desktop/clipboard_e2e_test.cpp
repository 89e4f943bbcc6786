// End to end: devices and the host service of this process exchange clipboard
// contents over real connections, with the PC clipboard owned by the helper program.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <objbase.h>

#include "core/host_service.h"
#include "core/log.h"
#include "core/messages.h"
#include "core/paths.h"
#include "desktop/clipboard_image.h"
#include "desktop/clipboard_sync.h"
#include "desktop_helper_control.h"
#include "support/device_messages.h"
#include "support/log_capture.h"
#include "support/paired_device.h"
#include "support/temp_dir.h"
#include "test_png.h"

namespace kelm {
namespace {

using Clock = std::chrono::steady_clock;
using test::Bytes;

using test::dev::kClipboard;
using test::dev::kFeatureFlags;
using test::dev::kPing;

const std::wstring kHello = L"h\u00e9llo \U0001F600";
const std::string kHelloUtf8 = "h\xC3\xA9llo \xF0\x9F\x98\x80";

Bytes ClipboardPayload(uint8_t format, const std::string& content) {
  Bytes b{format};
  b.insert(b.end(), content.begin(), content.end());
  return b;
}

class ClipboardEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    SetVerbose(true);
    SetProfileDir(profile.Path());
    std::string error;
    ASSERT_TRUE(host.Initialize(error)) << error;
    host.SetPinAlwaysValid(true);
    options.port = static_cast<uint16_t>(37000 + GetCurrentProcessId() % 2000);
    options.name = "CLIP";
    options.pin = 123456;
    options.useAdb = false;
    options.discovery = false;
    options.driver = false;
    options.forwardNotifications = false;
    ASSERT_TRUE(helper.Start());
    ASSERT_TRUE(host.Start(options));
    Sleep(200);
  }
  void TearDown() override {
    host.Shutdown();
    SetProfileDir(L"");
  }
  static Session::Timing Patient() {
    Session::Timing t;
    t.runningMs = 60000;  // these devices do not ping
    return t;
  }

  test::TempDir profile;
  test::LogCapture log{profile.File(L"host.log")};
  HostService host{SessionParts{}, Patient()};
  HostOptions options;
  test::DesktopHelper helper;
};

TEST_F(ClipboardEndToEnd, PcCopiesReachOnlyDevicesWithTheFeatureOnce) {
  test::PinPairedDevice with, without;
  ASSERT_TRUE(with.ConnectWithFeatures(options.port, 1));
  ASSERT_TRUE(without.ConnectWithFeatures(options.port, 2));
  Clock::time_point last;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(helper.SetText(kHello));
    last = Clock::now();
    Sleep(30);
  }
  Clock::time_point at;
  const auto got = with.Next(kClipboard, 3000, &at);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, ClipboardPayload(0, kHelloUtf8));
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(at - last).count(), 140);
  EXPECT_FALSE(with.Next(kClipboard, 1000));
  EXPECT_FALSE(without.Next(kClipboard, 300));
}

TEST_F(ClipboardEndToEnd, DeviceTextBecomesThePcTextWithoutAnEcho) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 1));
  ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(0, kHelloUtf8)));
  for (int i = 0; i < 100 && test::ReadClipboardText() != kHello; ++i) Sleep(10);
  EXPECT_EQ(test::ReadClipboardText(), kHello);
  EXPECT_FALSE(device.Next(kClipboard, 1000));
  ASSERT_TRUE(helper.SetText(L"later on the PC"));
  const auto got = device.Next(kClipboard, 3000);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, ClipboardPayload(0, "later on the PC"));
}

TEST_F(ClipboardEndToEnd, FeatureFlagsTurnTheClipboardOnForADevice) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 0));
  ASSERT_TRUE(helper.SetText(L"before"));
  EXPECT_FALSE(device.Next(kClipboard, 800));
  ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(0, "ignored")));
  Sleep(500);
  EXPECT_EQ(test::ReadClipboardText(), L"before");

  ASSERT_TRUE(device.client->SendRecord(kFeatureFlags, {1}));
  ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(0, "now taken")));
  for (int i = 0; i < 100 && test::ReadClipboardText() != L"now taken"; ++i) Sleep(10);
  EXPECT_EQ(test::ReadClipboardText(), L"now taken");
  ASSERT_TRUE(helper.SetText(L"after"));
  const auto got = device.Next(kClipboard, 3000);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, ClipboardPayload(0, "after"));
}

TEST_F(ClipboardEndToEnd, TwelveMebibytesAreAcceptedAndOneMoreRefused) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 1));
  ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(0, std::string(msg::kMaxClipboardBytes, 'a'))));
  std::wstring text;
  for (int i = 0; i < 500 && text.size() != msg::kMaxClipboardBytes; ++i) {
    Sleep(20);
    text = test::ReadClipboardText();
  }
  EXPECT_EQ(text.size(), msg::kMaxClipboardBytes);
  ASSERT_TRUE(
      device.client->SendRecord(kClipboard, ClipboardPayload(0, std::string(msg::kMaxClipboardBytes + 1, 'b'))));
  Sleep(1500);
  text = test::ReadClipboardText();
  EXPECT_EQ(text.size(), msg::kMaxClipboardBytes);
  EXPECT_EQ(text.substr(0, 1), L"a");
}

TEST_F(ClipboardEndToEnd, ADeviceThatStopsReadingHoldsUpNeitherStatusNorStop) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 1));
  std::atomic<bool> pinging{true};
  std::thread pinger([&] {
    Bytes ping(8, 0);
    while (pinging && device.client->SendRecord(kPing, ping)) Sleep(300);
  });
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(helper.SetRepeatedText(static_cast<uint32_t>(msg::kMaxClipboardBytes), static_cast<wchar_t>(L'k' + i)));
    Sleep(700);
  }
  auto start = Clock::now();
  const HostService::Status status = host.GetStatus();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(status.sessions.size(), 1u);
  start = Clock::now();
  host.Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  pinging = false;
  device.stream->Shutdown();
  pinger.join();
  EXPECT_NE(log.Text().find("Clipboard changed: text (12582912 bytes)"), std::string::npos);
}

TEST_F(ClipboardEndToEnd, DeviceImagesArriveAsPngAndDibUnlessAboveTheBound) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 1));
  const auto png = test::MakeRgbaPng(64, 32, [](uint32_t x, uint32_t y) { return 0xFF000000u | x << 16 | y << 8 | 7; });
  ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(1, std::string(png.begin(), png.end()))));
  // An earlier test may have left an image on the prefix's clipboard: wait for this PNG,
  // then read the DIB set with it.
  const std::string expected(png.begin(), png.end());
  for (int i = 0; i < 300 && test::ReadClipboardBlock(PngClipboardFormat()) != expected; ++i) Sleep(10);
  EXPECT_EQ(test::ReadClipboardBlock(PngClipboardFormat()), expected);
  const std::string dib = test::ReadClipboardBlock(CF_DIB);
  ASSERT_GE(dib.size(), 40u + 64 * 32 * 4);
  EXPECT_EQ(dib[14], 32);  // bits per pixel
  EXPECT_FALSE(device.Next(kClipboard, 800));  // not echoed

  // Above the pixel bound: not decoded, so nothing is set and the earlier image stays.
  Sleep(1000);  // past the device's clipboard rate limit
  const auto huge = test::MakeBlackBitPng(7000, 7000);
  ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(1, std::string(huge.begin(), huge.end()))));
  bool refused = false;
  for (int i = 0; i < 300 && !refused; ++i) {
    Sleep(10);
    refused = log.Text().find("Device image not set") != std::string::npos;
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(test::ReadClipboardBlock(PngClipboardFormat()), expected);
  EXPECT_TRUE(test::ClipboardHasFormat(CF_DIB));
}

TEST_F(ClipboardEndToEnd, ADeviceSendingClipboardsBackToBackIsLimited) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 1));
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(0, "burst " + std::to_string(i))));
  }
  bool limited = false;
  for (int i = 0; i < 300 && !limited; ++i) {
    Sleep(10);
    limited = log.Text().find("clipboard messages beyond 4 a second are dropped") != std::string::npos;
  }
  EXPECT_TRUE(limited);
  Sleep(500);
  const std::wstring text = test::ReadClipboardText();
  EXPECT_EQ(text.rfind(L"burst ", 0), 0u);
  EXPECT_LT(std::stoi(text.substr(6)), 4);  // only the first four of the second were taken
  Sleep(1000);
  ASSERT_TRUE(device.client->SendRecord(kClipboard, ClipboardPayload(0, "later")));
  std::wstring later;
  for (int i = 0; i < 300 && later != L"later"; ++i) {
    Sleep(10);
    later = test::ReadClipboardText();
  }
  EXPECT_EQ(later, L"later");
}

TEST_F(ClipboardEndToEnd, PcContentKinds) {
  test::PinPairedDevice device;
  ASSERT_TRUE(device.ConnectWithFeatures(options.port, 1));
  // Text and an image together: the text.
  ASSERT_TRUE(helper.SetText(L"both", test::helper::kAddBitmap));
  auto got = device.Next(kClipboard, 3000);
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, ClipboardPayload(0, "both"));
  // Excluded from monitoring or from history: nothing.
  ASSERT_TRUE(helper.SetText(L"secret", test::helper::kAddExclude));
  EXPECT_FALSE(device.Next(kClipboard, 700));
  ASSERT_TRUE(helper.SetText(L"private", test::helper::kHistoryZero));
  EXPECT_FALSE(device.Next(kClipboard, 700));
  // A bitmap alone: a PNG of the same pixels.
  ASSERT_TRUE(helper.SetBitmap(40, 24, 5));
  got = device.Next(kClipboard, 3000);
  ASSERT_TRUE(got);
  ASSERT_EQ((*got)[0], 1);
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const auto image = DecodePng(std::span<const uint8_t>(got->data() + 1, got->size() - 1));
  CoUninitialize();
  ASSERT_TRUE(image);
  ASSERT_EQ(image->width, 40u);
  ASSERT_EQ(image->height, 24u);
  int wrong = 0;
  for (uint32_t y = 0; y < 24; ++y) {
    for (uint32_t x = 0; x < 40; ++x) {
      const auto want = test::helper::PatternPixel(x, y, 5);
      const uint8_t* p = &image->pixels[(size_t{y} * 40 + x) * 4];
      if (p[0] != want.b || p[1] != want.g || p[2] != want.r) ++wrong;
    }
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace kelm
