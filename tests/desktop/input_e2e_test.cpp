// Input injection through the real Win32 calls into a window of another process.
#include <gtest/gtest.h>

#include <string>

#include "desktop/input_injector.h"
#include "support/input_payloads.h"
#include "support/input_target_window.h"
#include "support/log_capture.h"

namespace kelm {
namespace {

constexpr uint8_t kPen = 10, kTouch = 11, kKey = 12, kText = 13, kPointer = 15;

class InputEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(target.Start()) << target.Output();
    injector.SetTargetRect(RECT{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                                GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                                GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)});
    ASSERT_EQ(GetSystemMetrics(SM_CXVIRTUALSCREEN), 1920);
    ASSERT_EQ(GetSystemMetrics(SM_CYVIRTUALSCREEN), 1080);
  }
  void Send(uint8_t type, const std::vector<uint8_t>& payload) { injector.HandleMessage(type, payload); }
  // Clicks the middle of a control of the test window with the left button.
  void Click(const RECT& r) {
    const float x = ((r.left + r.right) / 2 + 0.5f) / 1920.0f;
    const float y = ((r.top + r.bottom) / 2 + 0.5f) / 1080.0f;
    Send(kPointer, test::PointerPayload(1, 0, x, y));
    Send(kPointer, test::PointerPayload(2, 0, x, y));
  }

  test::InputTargetWindow target;
  InputInjector injector;
};

TEST(InputFallbackWarnings, BothAppearOncePerProcess) {
  test::TempDir dir;
  test::LogCapture capture(dir.File(L"log.txt"));
  {
    InputInjector first;
    InputInjector second;
    EXPECT_FALSE(first.HasPenDevice());
    EXPECT_FALSE(first.HasTouchDevice());
  }
  const std::string text = capture.Text();
  const auto count = [&](const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Windows Ink pen injection unavailable (0x8007"), 1u) << text;
  EXPECT_EQ(count("; pen falls back to mouse"), 1u) << text;
  EXPECT_EQ(count("Touch injection unavailable (0x8007"), 1u) << text;
  EXPECT_EQ(count("; touch falls back to mouse"), 1u) << text;
}

TEST_F(InputEndToEnd, TouchDownAndUpClickAtTheMappedPoint) {
  Send(kTouch, test::TouchPayload({{1, 0, 0.5f, 0.5f}}));
  Send(kTouch, test::TouchPayload({}));
  EXPECT_TRUE(target.WaitLine("mouse ldown 960 540 0")) << target.Output();
  EXPECT_TRUE(target.WaitLine("mouse lup 960 540 0")) << target.Output();
}

TEST_F(InputEndToEnd, PenContactPressesAndReleaseAllLifts) {
  Send(kPen, test::PenPayload({{0x01, 0.25f, 0.75f}, {0x03, 0.25f, 0.75f, 0.5f}}));
  EXPECT_TRUE(target.WaitLine("mouse ldown 480 810 0")) << target.Output();
  EXPECT_EQ(target.Output().find("mouse lup"), std::string::npos);
  injector.ReleaseAll();
  EXPECT_TRUE(target.WaitLine("mouse lup 480 810 0")) << target.Output();
}

TEST_F(InputEndToEnd, TextReachesTheMultiLineEdit) {
  Click(target.multi);
  ASSERT_TRUE(target.WaitLine("focus multi")) << target.Output();
  Send(kText, test::TextPayload("H\xC3\xA9\xF0\x9F\x98\x80\n"));
  // "Hé😀\r\n" in UTF-8.
  EXPECT_TRUE(target.WaitLine("text multi 48c3a9f09f98800d0a")) << target.Output();
}

TEST_F(InputEndToEnd, ShiftBTypesCapitalB) {
  Click(target.edit);
  ASSERT_TRUE(target.WaitLine("focus edit")) << target.Output();
  // Wine sets its key state from the X server's after a focus change; a Shift injected
  // before that has been read would be undone by it.
  Sleep(500);
  Send(kKey, test::KeyPayload(VK_SHIFT, true, false));
  Send(kKey, test::KeyPayload('B', true, false));
  Send(kKey, test::KeyPayload('B', false, false));
  Send(kKey, test::KeyPayload(VK_SHIFT, false, false));
  EXPECT_TRUE(target.WaitLine("text edit 42")) << target.Output();
}

TEST_F(InputEndToEnd, WheelArrivesAsSent) {
  Send(kPointer, test::PointerPayload(4, 0, 0.5f, 0.5f, 0, 1.0f));
  EXPECT_TRUE(target.WaitLine("mouse wheel 960 540 120")) << target.Output();
  Send(kPointer, test::PointerPayload(4, 0, 0.5f, 0.5f, 0, -0.5f));
  EXPECT_TRUE(target.WaitLine("mouse wheel 960 540 -60")) << target.Output();
}

}  // namespace
}  // namespace kelm
