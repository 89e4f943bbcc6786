// Desktop capture of the real screen with the pattern painter shown.
#include <gtest/gtest.h>

#include "core/clock.h"
#include "media/desktop_duplication.h"
#include "media/display_enum.h"
#include "pattern_painter_control.h"
#include "support/log_capture.h"
#include "test_pattern.h"

namespace kelm {
namespace {

class DesktopDuplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(painter.Start());
    const auto displays = EnumerateDisplays();
    ASSERT_FALSE(displays.empty());
    firstDisplay = displays.front().deviceName;
  }

  // Acquires until the capture shows pattern `seed`; every acquisition must give a
  // new image or nothing new.
  bool CaptureShows(DesktopDuplication& d, uint32_t seed, uint32_t timeoutMs = 5000) {
    const uint64_t deadline = NowMicros() + uint64_t{timeoutMs} * 1000;
    while (NowMicros() < deadline) {
      const CaptureResult r = d.AcquireFrame(100);
      EXPECT_TRUE(r == CaptureResult::NewImage || r == CaptureResult::NothingNew) << static_cast<int>(r);
      uint32_t w = 0, h = 0;
      const auto image = test::ReadTexture(d.Device(), d.Context(), d.Texture(), w, h);
      if (test::PatternMismatches(image, w, h, seed) == 0) return true;
    }
    return false;
  }

  test::PatternPainter painter;
  std::wstring firstDisplay;
};

TEST_F(DesktopDuplicationTest, OpensTheFirstDisplay) {
  DesktopDuplication d;
  ASSERT_TRUE(d.Open(firstDisplay));
  EXPECT_EQ(d.width, 1920u);
  EXPECT_EQ(d.height, 1080u);
  EXPECT_EQ(d.rotation, DisplayRotation::Identity);
  const RECT r = d.DesktopRect();
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.right, 1920);
  EXPECT_EQ(r.bottom, 1080);
  EXPECT_NE(d.deviceGeneration, 0u);
  EXPECT_NE(d.adapterLuid, 0u);
  EXPECT_TRUE(d.Device() && d.Context() && d.Texture());
  D3D11_TEXTURE2D_DESC td{};
  d.Texture()->GetDesc(&td);
  EXPECT_EQ(td.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
  EXPECT_EQ(td.Width, 1920u);
  // The name is matched without regard to case.
  std::wstring lower = firstDisplay;
  for (auto& c : lower) c = static_cast<wchar_t>(towlower(c));
  DesktopDuplication d2;
  EXPECT_TRUE(d2.Open(lower));
}

TEST_F(DesktopDuplicationTest, UnknownOutputFailsWithoutADevice) {
  test::TempDir dir;
  SetVerbose(true);
  test::LogCapture log(dir.File(L"log.txt"));
  DesktopDuplication d;
  EXPECT_FALSE(d.Open(L"\\\\.\\DISPLAY97"));
  SetVerbose(false);
  EXPECT_NE(log.Text().find("DXGI output \\\\.\\DISPLAY97 not found"), std::string::npos) << log.Text();
  EXPECT_EQ(d.Device(), nullptr);
  EXPECT_EQ(d.Texture(), nullptr);
  EXPECT_EQ(d.deviceGeneration, 0u);
  EXPECT_EQ(d.AcquireFrame(0), CaptureResult::Lost);
}

TEST_F(DesktopDuplicationTest, CapturesThePaintedPatternAndItsChanges) {
  DesktopDuplication d;
  ASSERT_TRUE(d.Open(firstDisplay));
  // The first call always hands out a whole image.
  EXPECT_EQ(d.AcquireFrame(0), CaptureResult::NewImage);
  ASSERT_TRUE(CaptureShows(d, 0));
  // Let the painter's last strokes land before timing a still screen.
  for (int i = 0; i < 20 && d.AcquireFrame(100) == CaptureResult::NewImage; ++i) {
  }

  // Unchanged: nothing new, after about the time-out.
  const uint64_t start = NowMicros();
  EXPECT_EQ(d.AcquireFrame(300), CaptureResult::NothingNew);
  const uint64_t waited = NowMicros() - start;
  EXPECT_GE(waited, 290000u);
  EXPECT_LT(waited, 1000000u);

  // A repaint is a new image.
  ASSERT_EQ(painter.Send(test::kPainterShowPattern, 7), 1);
  EXPECT_EQ(d.AcquireFrame(3000), CaptureResult::NewImage);
  ASSERT_TRUE(CaptureShows(d, 7));

  // After Recreate the first call gives the whole image again, at once.
  const uint32_t generation = d.deviceGeneration;
  ASSERT_TRUE(d.Recreate());
  EXPECT_EQ(d.deviceGeneration, generation);  // the device is kept
  EXPECT_EQ(d.AcquireFrame(0), CaptureResult::NewImage);
  uint32_t w = 0, h = 0;
  const auto image = test::ReadTexture(d.Device(), d.Context(), d.Texture(), w, h);
  EXPECT_EQ(test::PatternMismatches(image, w, h, 7), 0);
}

TEST_F(DesktopDuplicationTest, PointerPositionFollowsTheSystemCursor) {
  DesktopDuplication d;
  ASSERT_TRUE(d.Open(firstDisplay));
  for (const POINT p : {POINT{700, 300}, POINT{1500, 900}, POINT{3, 1070}}) {
    ASSERT_TRUE(SetCursorPos(p.x, p.y));
    d.AcquireFrame(50);
    EXPECT_TRUE(d.cursorVisible);
    // The reported point is the hot spot, whatever the shape's size.
    EXPECT_EQ(d.cursorX, p.x);
    EXPECT_EQ(d.cursorY, p.y);
  }
}

// Wine cannot read a cursor of another process (GetIconInfo answers
// ERROR_INVALID_CURSOR_HANDLE), so the cursor is switched by a window of this process.
TEST_F(DesktopDuplicationTest, NewCursorShapeRaisesTheSerial) {
  test::CursorWindow window;
  ASSERT_TRUE(window.Start());
  DesktopDuplication d;
  ASSERT_TRUE(d.Open(firstDisplay));
  ASSERT_TRUE(SetCursorPos(100, 100));
  d.AcquireFrame(50);
  const uint32_t arrowSerial = d.cursorShapeSerial;
  ASSERT_NE(arrowSerial, 0u);
  d.AcquireFrame(50);
  EXPECT_EQ(d.cursorShapeSerial, arrowSerial);  // the same cursor is no new shape

  ASSERT_TRUE(window.SetCursor(IDC_IBEAM));
  d.AcquireFrame(50);
  EXPECT_GT(d.cursorShapeSerial, arrowSerial);
  EXPECT_EQ(d.cursorWidth, static_cast<uint32_t>(GetSystemMetrics(SM_CXCURSOR)));
  EXPECT_EQ(d.cursorHeight, static_cast<uint32_t>(GetSystemMetrics(SM_CYCURSOR)));
  ASSERT_EQ(d.cursorPixels.size(), size_t{d.cursorWidth} * d.cursorHeight * 4);
  size_t opaque = 0;
  for (size_t i = 3; i < d.cursorPixels.size(); i += 4) opaque += d.cursorPixels[i] == 255;
  EXPECT_GT(opaque, 10u);
  // The hot spot lies within the shape, and the position stays the hot spot's.
  EXPECT_GE(d.cursorHotX, 0);
  EXPECT_LT(d.cursorHotX, static_cast<int32_t>(d.cursorWidth));
  EXPECT_EQ(d.cursorX, 100);
  EXPECT_EQ(d.cursorY, 100);

  const uint32_t beamSerial = d.cursorShapeSerial;
  ASSERT_TRUE(window.SetCursor(IDC_ARROW));
  d.AcquireFrame(50);
  EXPECT_GT(d.cursorShapeSerial, beamSerial);
}

}  // namespace
}  // namespace kelm
