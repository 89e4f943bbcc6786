// Input injection against the recording backend: mapping, pen, touch, mouse fallbacks,
// keys, text, wheel and the release of everything held.
#include "desktop/input_injector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "desktop/input_math.h"
#include "support/input_payloads.h"
#include "support/log_capture.h"
#include "support/recording_input_backend.h"
#include "support/temp_dir.h"

namespace kelm {
namespace {

using test::PenRecord;
using test::RecordingInputBackend;
using test::TouchRecord;

constexpr uint8_t kPen = 10, kTouch = 11, kKey = 12, kText = 13, kPointer = 15;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr DWORD kAbs = MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE;

// Pixel from the absolute mouse coordinate on the recording backend's 1920x1080 screen;
// exact for every pixel, because SendMouse truncates x * 65535 / 1919.
POINT MousePixel(const MOUSEINPUT& mi) {
  for (int32_t x = 0; x < 1920; ++x) {
    if (static_cast<int64_t>(x) * 65535 / 1919 == mi.dx) {
      for (int32_t y = 0; y < 1080; ++y) {
        if (static_cast<int64_t>(y) * 65535 / 1079 == mi.dy) {
          return POINT{x, y};
        }
      }
    }
  }
  return POINT{-1, -1};
}

struct MouseEvent {
  DWORD button;  // dwFlags without the three placement flags
  int32_t x;
  int32_t y;
  int32_t data;
  bool operator==(const MouseEvent&) const = default;
};
std::ostream& operator<<(std::ostream& os, const MouseEvent& e) {
  return os << "{0x" << std::hex << e.button << std::dec << " " << e.x << "," << e.y << " " << e.data << "}";
}

std::vector<MouseEvent> MouseEvents(const RecordingInputBackend& b) {
  std::vector<MouseEvent> out;
  for (const MOUSEINPUT& mi : b.MouseInputs()) {
    EXPECT_EQ(mi.dwFlags & kAbs, kAbs);
    const POINT p = MousePixel(mi);
    out.push_back(MouseEvent{mi.dwFlags & ~kAbs, p.x, p.y, static_cast<int32_t>(mi.mouseData)});
  }
  return out;
}

class InjectorTest : public ::testing::Test {
 protected:
  void Send(uint8_t type, const std::vector<uint8_t>& payload) { injector.HandleMessage(type, payload); }
  void Pen(PenRecord r) { Send(kPen, test::PenPayload({r})); }
  void Touch(const std::vector<TouchRecord>& records) { Send(kTouch, test::TouchPayload(records)); }
  const POINTER_TYPE_INFO& LastEntry(size_t i = 0) { return backend.injections.back().info.at(i); }
  const POINTER_PEN_INFO& LastPen() { return LastEntry().penInfo; }

  RecordingInputBackend backend{true};
  InputInjector injector{backend};
  std::vector<POINT> taps;
};

// ---- mapping ----

TEST_F(InjectorTest, MapsFractionsOntoTheTargetRectangle) {
  injector.SetTargetRect(RECT{100, 50, 1380, 850});
  const struct {
    float x, y;
    LONG px, py;
  } cases[] = {{0.5f, 0.25f, 740, 250}, {1.0f, 1.0f, 1379, 849}, {0.0f, 0.0f, 100, 50},
               {-3.0f, 7.0f, 100, 849}, {0.99999f, 0.0f, 1379, 50}};
  for (const auto& c : cases) {
    Pen({0x01, c.x, c.y});
    ASSERT_FALSE(backend.injections.empty());
    EXPECT_EQ(LastPen().pointerInfo.ptPixelLocation.x, c.px) << c.x;
    EXPECT_EQ(LastPen().pointerInfo.ptPixelLocation.y, c.py) << c.y;
    EXPECT_EQ(LastPen().pointerInfo.ptPixelLocationRaw.x, c.px);
  }
}

TEST(InputMapping, WideRectanglesStayInside) {
  const input::PixelRect wide{INT32_MIN / 2, -1000, INT32_MAX / 2 + 1, 1000};
  const auto p = input::MapFraction(wide, 1.0f, 1.0f);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->x, INT32_MAX / 2);
  EXPECT_EQ(p->y, 999);
  const input::PixelRect full{-2147483647, 0, 2147483647, 1};
  EXPECT_EQ(input::MapFraction(full, 1.0f, 0.5f)->x, 2147483646);
  EXPECT_EQ(input::MapFraction(full, 0.0f, 0.5f)->x, -2147483647);
  EXPECT_FALSE(input::MapFraction(full, kNaN, 0.5f).has_value());
}

TEST_F(InjectorTest, NonFiniteCoordinatesInjectNothing) {
  for (float bad : {kNaN, kInf, -kInf}) {
    Pen({0x03, bad, 0.5f, 0.5f});
    Pen({0x03, 0.5f, bad, 0.5f});
    Touch({{1, 0, bad, 0.5f}});
    Send(kPointer, test::PointerPayload(0, 0, bad, 0.5f));
    Send(kPointer, test::PointerPayload(1, 0, 0.5f, bad));
  }
  EXPECT_TRUE(backend.injections.empty());
  EXPECT_TRUE(backend.sendCalls.empty());
  // Nothing was left pressed either.
  injector.ReleaseAll();
  EXPECT_TRUE(backend.injections.empty());
  EXPECT_TRUE(backend.sendCalls.empty());
}

TEST_F(InjectorTest, SendMouseScalesOntoTheVirtualDesktop) {
  injector.SetTargetRect(RECT{100, 50, 1380, 850});
  Send(kPointer, test::PointerPayload(0, 0, 1.0f, 0.0f));
  const auto mouse = backend.MouseInputs();
  ASSERT_EQ(mouse.size(), 1u);
  EXPECT_EQ(mouse[0].dx, 47093);  // 1379 * 65535 / 1919
  EXPECT_EQ(mouse[0].dy, 50 * 65535 / 1079);
  EXPECT_EQ(mouse[0].dwFlags, kAbs);

  // A virtual desktop that starts left of and above the primary monitor.
  backend.Clear();
  backend.screen = VirtualScreen{-1280, -200, 3200, 1280};
  injector.SetTargetRect(RECT{-1280, -200, 0, 824});
  Send(kPointer, test::PointerPayload(0, 0, 0.0f, 0.0f));
  ASSERT_EQ(backend.MouseInputs().size(), 1u);
  EXPECT_EQ(backend.MouseInputs()[0].dx, 0);
  EXPECT_EQ(backend.MouseInputs()[0].dy, 0);
}

TEST_F(InjectorTest, TargetRectangleBelowOnePixelIsIgnored) {
  injector.SetTargetRect(RECT{100, 50, 1380, 850});
  for (const RECT bad : {RECT{10, 10, 10, 500}, RECT{10, 10, 500, 10}, RECT{500, 10, 10, 500},
                         RECT{INT32_MIN, 0, INT32_MAX, 10}}) {
    injector.SetTargetRect(bad);
  }
  Pen({0x01, 1.0f, 1.0f});
  EXPECT_EQ(LastPen().pointerInfo.ptPixelLocation.x, 1379);
  EXPECT_EQ(LastPen().pointerInfo.ptPixelLocation.y, 849);
}

// ---- pen ----

TEST_F(InjectorTest, PenStrokeFlags) {
  const POINTER_FLAGS P = POINTER_FLAG_PRIMARY, R = POINTER_FLAG_INRANGE, C = POINTER_FLAG_INCONTACT,
                      B1 = POINTER_FLAG_FIRSTBUTTON;
  const struct {
    uint8_t flags;
    POINTER_FLAGS expected;
    POINTER_BUTTON_CHANGE_TYPE change;
  } steps[] = {
      {0x01, POINTER_FLAG_UPDATE | R | P, POINTER_CHANGE_NONE},                        // hover
      {0x03, POINTER_FLAG_DOWN | R | C | B1 | P, POINTER_CHANGE_FIRSTBUTTON_DOWN},     // down
      {0x03, POINTER_FLAG_UPDATE | R | C | B1 | P, POINTER_CHANGE_NONE},               // move
      {0x01, POINTER_FLAG_UP | R | P, POINTER_CHANGE_FIRSTBUTTON_UP},                  // up
      {0x00, POINTER_FLAG_UPDATE | P, POINTER_CHANGE_NONE},                            // leaves
  };
  for (const auto& s : steps) {
    Pen({s.flags, 0.5f, 0.5f, 0.5f});
    EXPECT_EQ(LastEntry().type, PT_PEN);
    EXPECT_EQ(LastPen().pointerInfo.pointerId, 1u);
    EXPECT_EQ(LastPen().pointerInfo.pointerFlags, s.expected) << int(s.flags);
    EXPECT_EQ(LastPen().pointerInfo.ButtonChangeType, s.change) << int(s.flags);
    EXPECT_EQ(LastPen().pressure, (s.flags & 0x02) ? 512u : 0u);
    EXPECT_EQ(LastPen().penMask, PEN_MASK_PRESSURE | PEN_MASK_ROTATION | PEN_MASK_TILT_X | PEN_MASK_TILT_Y);
    EXPECT_EQ(backend.injections.back().device, backend.penDevice);
  }
  // Out of range already: nothing at all.
  const size_t before = backend.injections.size();
  Pen({0x00, 0.5f, 0.5f});
  Pen({0x21, 0.5f, 0.5f});
  EXPECT_EQ(backend.injections.size(), before);
}

TEST_F(InjectorTest, PenPressureRotationAndTilt) {
  const struct {
    float pressure, rotation, tilt;
    UINT32 expPressure, expRotation;
    INT32 expTilt;
  } cases[] = {
      {0.0f, -30.0f, 45.5f, 1, 330, 46},      {0.25f, 725.0f, -45.5f, 256, 5, -46},
      {1.0f, 0.0f, 120.0f, 1024, 0, 90},      {5.0f, 359.6f, -200.0f, 1024, 0, -90},
      {kNaN, kNaN, kNaN, 1, 0, 0},            {-kInf, kInf, kInf, 1, 0, 90},
      {0.5f, -0.5f, 0.4f, 512, 359, 0},       {0.5f, 1e30f, 0.5f, 512, 0, 1},
  };
  for (const auto& c : cases) {
    Pen({0x03, 0.5f, 0.5f, c.pressure, c.tilt, c.tilt, c.rotation});
    EXPECT_EQ(LastPen().pressure, c.expPressure) << c.pressure;
    EXPECT_EQ(LastPen().tiltX, c.expTilt) << c.tilt;
    EXPECT_EQ(LastPen().tiltY, c.expTilt) << c.tilt;
    if (c.rotation == 1e30f) {
      EXPECT_LT(LastPen().rotation, 360u);
      EXPECT_EQ(LastPen().rotation, static_cast<UINT32>(std::fmod(static_cast<double>(1e30f), 360.0)));
    } else {
      EXPECT_EQ(LastPen().rotation, c.expRotation) << c.rotation;
    }
  }
}

TEST_F(InjectorTest, EraserAndBarrelLastTheWholeStroke) {
  Pen({0x01 | 0x04, 0.5f, 0.5f});  // hovering with the eraser end
  EXPECT_EQ(LastPen().penFlags, PEN_FLAG_INVERTED);
  Pen({0x03 | 0x04, 0.5f, 0.5f});
  EXPECT_EQ(LastPen().penFlags, PEN_FLAG_INVERTED | PEN_FLAG_ERASER);
  Pen({0x01 | 0x40, 0.5f, 0.5f});  // lifted, inverted
  EXPECT_EQ(LastPen().penFlags, PEN_FLAG_INVERTED);

  // Barrel at the start: the second button for the whole stroke, whatever bit 3 says later.
  Pen({0x03 | 0x08, 0.5f, 0.5f});
  EXPECT_EQ(LastPen().penFlags, PEN_FLAG_BARREL);
  EXPECT_TRUE(LastPen().pointerInfo.pointerFlags & POINTER_FLAG_SECONDBUTTON);
  EXPECT_EQ(LastPen().pointerInfo.ButtonChangeType, POINTER_CHANGE_SECONDBUTTON_DOWN);
  Pen({0x03, 0.6f, 0.5f});
  EXPECT_TRUE(LastPen().pointerInfo.pointerFlags & POINTER_FLAG_SECONDBUTTON);
  EXPECT_FALSE(LastPen().pointerInfo.pointerFlags & POINTER_FLAG_FIRSTBUTTON);
  Pen({0x01, 0.6f, 0.5f});
  EXPECT_EQ(LastPen().pointerInfo.ButtonChangeType, POINTER_CHANGE_SECONDBUTTON_UP);
}

TEST_F(InjectorTest, PenCancelInContactEndsWithoutTap) {
  injector.SetTapCallback([this](POINT p) { taps.push_back(p); });
  Pen({0x03, 0.5f, 0.5f});
  Pen({0x23, 0.5f, 0.5f});
  EXPECT_EQ(LastPen().pointerInfo.pointerFlags, POINTER_FLAG_UP | POINTER_FLAG_CANCELED | POINTER_FLAG_PRIMARY);
  EXPECT_EQ(LastPen().pointerInfo.ButtonChangeType, POINTER_CHANGE_FIRSTBUTTON_UP);
  EXPECT_TRUE(taps.empty());
}

TEST_F(InjectorTest, PenTapNeedsShortAndStill) {
  injector.SetTapCallback([this](POINT p) { taps.push_back(p); });
  injector.SetTargetRect(RECT{0, 0, 1024, 1024});  // k/1024 fractions are exact floats
  const struct {
    uint64_t ms;
    float dx;
    bool tap;
  } cases[] = {{699, 24.0f / 1024, true}, {700, 0, false}, {100, 25.0f / 1024, false}, {0, 0, true}};
  for (const auto& c : cases) {
    taps.clear();
    Pen({0x03, 0.25f, 0.5f});
    backend.tick += c.ms;
    Pen({0x03, 0.25f + c.dx, 0.5f});
    Pen({0x01, 0.25f, 0.5f});
    ASSERT_EQ(taps.size(), c.tap ? 1u : 0u) << c.ms << " " << c.dx;
    if (c.tap) {
      EXPECT_EQ(taps[0].x, 256);
      EXPECT_EQ(taps[0].y, 512);
    }
  }
}

TEST_F(InjectorTest, PenRecordsAreReadUpToCountAndLength) {
  auto payload = test::PenPayload({{0x01, 0.1f, 0.1f}, {0x01, 0.2f, 0.2f}, {0x01, 0.3f, 0.3f}});
  payload[0] = 2;
  Send(kPen, payload);
  EXPECT_EQ(backend.injections.size(), 2u);
  payload[0] = 3;
  payload.resize(payload.size() - 1);  // the third record is cut short
  Send(kPen, payload);
  EXPECT_EQ(backend.injections.size(), 4u);
  Send(kPen, {});
  Send(kPen, {0});
  EXPECT_EQ(backend.injections.size(), 4u);
}

TEST_F(InjectorTest, FailedPenInjectionKeepsTheState) {
  backend.failInjections = 1;
  Pen({0x03, 0.5f, 0.5f});
  Pen({0x03, 0.5f, 0.5f});
  EXPECT_EQ(LastPen().pointerInfo.pointerFlags & POINTER_FLAG_UPDATE, POINTER_FLAG_UPDATE);
}

// ---- touch ----

TEST_F(InjectorTest, TouchPointerIdsAreSlotIndexes) {
  Touch({{7, 0, 0.25f, 0.5f}, {3, 0, 0.75f, 0.5f}});
  ASSERT_EQ(backend.injections.back().info.size(), 2u);
  EXPECT_EQ(backend.injections.back().device, backend.touchDevice);
  EXPECT_EQ(LastEntry(0).type, PT_TOUCH);
  EXPECT_EQ(LastEntry(0).touchInfo.pointerInfo.pointerId, 0u);
  EXPECT_EQ(LastEntry(1).touchInfo.pointerInfo.pointerId, 1u);
  const POINTER_FLAGS down = POINTER_FLAG_DOWN | POINTER_FLAG_INRANGE | POINTER_FLAG_INCONTACT;
  EXPECT_EQ(LastEntry(0).touchInfo.pointerInfo.pointerFlags, down | POINTER_FLAG_PRIMARY);
  EXPECT_EQ(LastEntry(1).touchInfo.pointerInfo.pointerFlags, down);
  EXPECT_EQ(LastEntry(0).touchInfo.touchMask, TOUCH_MASK_CONTACTAREA | TOUCH_MASK_PRESSURE);
  EXPECT_EQ(LastEntry(1).touchInfo.pointerInfo.ptPixelLocation.x, 1440);

  // Contact 7 lifts by leaving the list; 3 keeps its slot.
  Touch({{3, 0, 0.75f, 0.6f}});
  ASSERT_EQ(backend.injections.back().info.size(), 2u);
  EXPECT_EQ(LastEntry(0).touchInfo.pointerInfo.pointerId, 1u);
  EXPECT_EQ(LastEntry(0).touchInfo.pointerInfo.pointerFlags,
            POINTER_FLAG_UPDATE | POINTER_FLAG_INRANGE | POINTER_FLAG_INCONTACT | POINTER_FLAG_PRIMARY);
  EXPECT_EQ(LastEntry(1).touchInfo.pointerInfo.pointerId, 0u);
  EXPECT_EQ(LastEntry(1).touchInfo.pointerInfo.pointerFlags, POINTER_FLAG_UP);
  EXPECT_EQ(LastEntry(1).touchInfo.pressure, 0u);
  const RECT lifted = LastEntry(1).touchInfo.rcContact;
  EXPECT_EQ(lifted.left, 480 - 2);
  EXPECT_EQ(lifted.bottom, 540 + 2);

  // A new contact takes the lowest free slot.
  Touch({{3, 0, 0.75f, 0.6f}, {9, 0, 0.1f, 0.1f}});
  EXPECT_EQ(LastEntry(1).touchInfo.pointerInfo.pointerId, 0u);
}

TEST_F(InjectorTest, ElevenContactsGiveTen) {
  std::vector<TouchRecord> records;
  for (uint8_t i = 0; i < 11; ++i) {
    records.push_back({static_cast<uint8_t>(i + 20), 0, 0.05f * i, 0.5f});
  }
  Touch(records);
  ASSERT_EQ(backend.injections.back().info.size(), 10u);
  for (uint32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(LastEntry(i).touchInfo.pointerInfo.pointerId, i);
  }
}

TEST_F(InjectorTest, TouchPressureAndContactSize) {
  const struct {
    float pressure, width, height;
    UINT32 expPressure;
    LONG halfW, halfH;
  } cases[] = {{0.0f, 0.0f, 0.0f, 512, 2, 2},      {kNaN, 1.0f, 0.01f, 512, 64, 9},
               {-1.0f, kNaN, kInf, 512, 2, 64},     {1.0f, 0.02f, -kInf, 1024, 19, 2},
               {0.25f, 0.5f, 0.005f, 256, 64, 4}};
  for (const auto& c : cases) {
    Touch({{1, 0, 0.5f, 0.5f, c.pressure, c.width, c.height}});
    const POINTER_TOUCH_INFO& t = LastEntry().touchInfo;
    EXPECT_EQ(t.pressure, c.expPressure) << c.pressure;
    EXPECT_EQ(t.rcContact.right - 960, c.halfW) << c.width;
    EXPECT_EQ(960 - t.rcContact.left, c.halfW) << c.width;
    EXPECT_EQ(t.rcContact.bottom - 540, c.halfH) << c.height;
    const RECT zero{};
    EXPECT_TRUE(EqualRect(&t.rcContactRaw, &zero));
    Touch({});
  }
}

bool UniqueIds(const RecordingInputBackend::Injection& inj) {
  for (size_t i = 0; i < inj.info.size(); ++i) {
    for (size_t j = i + 1; j < inj.info.size(); ++j) {
      if (inj.info[i].touchInfo.pointerInfo.pointerId == inj.info[j].touchInfo.pointerInfo.pointerId) {
        return false;
      }
    }
  }
  return true;
}

TEST_F(InjectorTest, DuplicateIdsInOneFrameNeverRepeatAPointerId) {
  Touch({{5, 0, 0.1f, 0.1f}, {5, 0, 0.2f, 0.2f}, {6, 0, 0.3f, 0.3f}});
  ASSERT_EQ(backend.injections.back().info.size(), 2u);
  EXPECT_TRUE(UniqueIds(backend.injections.back()));
  EXPECT_EQ(LastEntry(0).touchInfo.pointerInfo.ptPixelLocation.x, 192);  // the first record wins

  // Contact 5 is cancelled and a new contact 7 arrives in the same frame: 7 must not take
  // the slot just freed, and 5 again in the frame is skipped.
  Touch({{5, 1, 0, 0}, {7, 0, 0.4f, 0.4f}, {5, 0, 0.5f, 0.5f}, {6, 0, 0.3f, 0.3f}});
  const auto& inj = backend.injections.back();
  EXPECT_TRUE(UniqueIds(inj));
  ASSERT_EQ(inj.info.size(), 3u);
  EXPECT_EQ(inj.info[0].touchInfo.pointerInfo.pointerId, 0u);
  EXPECT_EQ(inj.info[0].touchInfo.pointerInfo.pointerFlags, POINTER_FLAG_UP | POINTER_FLAG_CANCELED);
  EXPECT_EQ(inj.info[1].touchInfo.pointerInfo.pointerId, 2u);
  EXPECT_EQ(inj.info[1].touchInfo.pointerInfo.pointerFlags & POINTER_FLAG_DOWN, POINTER_FLAG_DOWN);
  EXPECT_EQ(inj.info[2].touchInfo.pointerInfo.pointerId, 1u);
  // Every injection so far was accepted by the backend's duplicate check.
  for (const auto& i : backend.injections) {
    EXPECT_TRUE(UniqueIds(i));
  }
}

TEST_F(InjectorTest, FailedTouchInjectionLiftsBeforeForgetting) {
  Touch({{1, 0, 0.1f, 0.1f}, {2, 0, 0.2f, 0.2f}});
  backend.failInjections = 1;
  Touch({{1, 0, 0.15f, 0.1f}, {2, 0, 0.25f, 0.2f}, {3, 0, 0.3f, 0.3f}});
  ASSERT_EQ(backend.injections.size(), 3u);
  const auto& lift = backend.injections[2];
  ASSERT_EQ(lift.info.size(), 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(lift.info[i].touchInfo.pointerInfo.pointerId, i);
    EXPECT_EQ(lift.info[i].touchInfo.pointerInfo.pointerFlags, POINTER_FLAG_UP);
  }
  // Lifted where they last were before the failed frame.
  EXPECT_EQ(lift.info[0].touchInfo.pointerInfo.ptPixelLocation.x, 192);
  // The next frame starts fresh contacts.
  Touch({{1, 0, 0.1f, 0.1f}});
  EXPECT_EQ(LastEntry().touchInfo.pointerInfo.pointerFlags & POINTER_FLAG_DOWN, POINTER_FLAG_DOWN);
}

TEST_F(InjectorTest, TouchTaps) {
  injector.SetTapCallback([this](POINT p) { taps.push_back(p); });
  injector.SetTargetRect(RECT{0, 0, 1024, 1024});
  // A short still touch lifted by leaving the list.
  Touch({{4, 0, 0.5f, 0.5f}});
  backend.tick += 300;
  Touch({{4, 0, 0.5f + 24.0f / 1024, 0.5f - 24.0f / 1024}});
  Touch({});
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(taps[0].x, 512);
  EXPECT_EQ(taps[0].y, 512);
  // Ended by a cancelled record: UP | CANCELED and no tap.
  Touch({{4, 0, 0.5f, 0.5f}});
  Touch({{4, 1, 0.5f, 0.5f}});
  EXPECT_EQ(LastEntry().touchInfo.pointerInfo.pointerFlags, POINTER_FLAG_UP | POINTER_FLAG_CANCELED);
  EXPECT_EQ(taps.size(), 1u);
  // Two fingers one after the other.
  Touch({{4, 0, 0.5f, 0.5f}});
  Touch({{4, 0, 0.5f, 0.5f}, {5, 0, 0.6f, 0.5f}});
  Touch({});
  EXPECT_EQ(taps.size(), 1u);
  // Too long, and too far.
  Touch({{4, 0, 0.5f, 0.5f}});
  backend.tick += 700;
  Touch({});
  Touch({{4, 0, 0.5f, 0.5f}});
  Touch({{4, 0, 0.5f + 25.0f / 1024, 0.5f}});
  Touch({{4, 0, 0.5f, 0.5f}});
  Touch({});
  EXPECT_EQ(taps.size(), 1u);
}

// ---- mouse fallbacks ----

TEST(InjectorFallback, PenAsMouseSequences) {
  RecordingInputBackend backend(false);
  InputInjector injector(backend);
  EXPECT_FALSE(injector.HasPenDevice());
  std::vector<POINT> taps;
  injector.SetTapCallback([&](POINT p) { taps.push_back(p); });
  const auto pen = [&](uint8_t flags, float x, float y) { injector.HandleMessage(kPen, test::PenPayload({{flags, x, y}})); };
  pen(0x01, 0.25f, 0.75f);  // hover
  pen(0x03, 0.25f, 0.75f);  // down
  pen(0x03, 0.5f, 0.75f);   // drag
  pen(0x01, 0.5f, 0.75f);   // up
  pen(0x0B, 0.5f, 0.5f);    // barrel down
  pen(0x03, 0.5f, 0.5f);    // still the right button
  pen(0x01, 0.5f, 0.5f);    // right up
  pen(0x00, 0.5f, 0.5f);    // leaves: nothing
  const std::vector<MouseEvent> expected = {
      {0, 480, 810, 0},     {MOUSEEVENTF_LEFTDOWN, 480, 810, 0},  {0, 960, 810, 0},
      {MOUSEEVENTF_LEFTUP, 960, 810, 0},    {MOUSEEVENTF_RIGHTDOWN, 960, 540, 0},
      {0, 960, 540, 0},     {MOUSEEVENTF_RIGHTUP, 960, 540, 0}};
  EXPECT_EQ(MouseEvents(backend), expected);
  EXPECT_TRUE(backend.injections.empty());
  // The first stroke moved too far for a tap; the barrel stroke stood still.
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(taps[0].x, 960);
  EXPECT_EQ(taps[0].y, 540);
}

TEST(InjectorFallback, PenAsMouseCancelReleasesAndMayTap) {
  RecordingInputBackend backend(false);
  InputInjector injector(backend);
  std::vector<POINT> taps;
  injector.SetTapCallback([&](POINT p) { taps.push_back(p); });
  injector.HandleMessage(kPen, test::PenPayload({{0x03, 0.25f, 0.75f}}));
  injector.HandleMessage(kPen, test::PenPayload({{0x23, 0.9f, 0.9f}}));
  const std::vector<MouseEvent> expected = {{MOUSEEVENTF_LEFTDOWN, 480, 810, 0}, {MOUSEEVENTF_LEFTUP, 480, 810, 0}};
  EXPECT_EQ(MouseEvents(backend), expected);
  ASSERT_EQ(taps.size(), 1u);
  EXPECT_EQ(taps[0].x, 480);
}

TEST(InjectorFallback, TouchAsMouseSequences) {
  for (const bool withDevices : {false, true}) {
    RecordingInputBackend backend(withDevices);
    InputInjector injector(backend);
    // Mouse emulation is used without a touch device, and in touch mode 1 always.
    injector.SetModes(proto::PenMode::Pen, withDevices ? proto::TouchMode::Mouse : proto::TouchMode::Touch);
    std::vector<POINT> taps;
    injector.SetTapCallback([&](POINT p) { taps.push_back(p); });
    const auto touch = [&](const std::vector<TouchRecord>& r) { injector.HandleMessage(kTouch, test::TouchPayload(r)); };
    touch({{3, 0, 0.5f, 0.5f}});
    touch({{3, 0, 0.5f, 0.5f}, {4, 0, 0.75f, 0.75f}});  // the second finger is ignored
    backend.cursor = POINT{961, 541};
    touch({{4, 0, 0.75f, 0.75f}});  // the driving finger lifted: release at the cursor
    touch({{4, 0, 0.75f, 0.75f}});  // the remaining finger now drives
    touch({{4, 1, 0.1f, 0.1f}});  // cancelled: release at the cursor, no tap
    touch({{5, 1, 0.2f, 0.2f}});  // a cancelled first record does nothing
    const std::vector<MouseEvent> expected = {
        {MOUSEEVENTF_LEFTDOWN, 960, 540, 0}, {0, 960, 540, 0},  {MOUSEEVENTF_LEFTUP, 961, 541, 0},
        {MOUSEEVENTF_LEFTDOWN, 1440, 810, 0}, {MOUSEEVENTF_LEFTUP, 961, 541, 0}};
    EXPECT_EQ(MouseEvents(backend), expected) << withDevices;
    ASSERT_EQ(taps.size(), 1u);
    EXPECT_EQ(taps[0].x, 960);
    EXPECT_TRUE(backend.injections.empty());
  }
}

TEST(InjectorFallback, TouchModeTwoDropsTouch) {
  for (const uint8_t mode : {2, 7}) {
    RecordingInputBackend backend(true);
    InputInjector injector(backend);
    injector.SetModes(proto::PenMode::Pen, static_cast<proto::TouchMode>(mode));
    injector.HandleMessage(kTouch, test::TouchPayload({{3, 0, 0.5f, 0.5f}}));
    injector.HandleMessage(kTouch, test::TouchPayload({}));
    injector.ReleaseAll();
    EXPECT_TRUE(backend.injections.empty());
    EXPECT_TRUE(backend.sendCalls.empty());
  }
}

TEST(InjectorFallback, PenModeMouseUsesTheMouseEvenWithADevice) {
  RecordingInputBackend backend(true);
  InputInjector injector(backend);
  injector.SetModes(static_cast<proto::PenMode>(5), proto::TouchMode::Touch);
  injector.HandleMessage(kPen, test::PenPayload({{0x03, 0.25f, 0.75f}}));
  EXPECT_TRUE(backend.injections.empty());
  const std::vector<MouseEvent> expected = {{MOUSEEVENTF_LEFTDOWN, 480, 810, 0}};
  EXPECT_EQ(MouseEvents(backend), expected);
}

TEST(InjectorFallback, WarnsOncePerProcess) {
  test::TempDir dir;
  test::LogCapture capture(dir.File(L"log.txt"));
  RecordingInputBackend backend(false);
  backend.createError = ERROR_BAD_COMMAND;
  {
    InputInjector first(backend);
    InputInjector second(backend);
  }
  const std::string text = capture.Text();
  const auto count = [&](const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_EQ(count("Windows Ink pen injection unavailable (0x80070016"), 1u) << text;
  EXPECT_EQ(count("; pen falls back to mouse"), 1u) << text;
  EXPECT_EQ(count("Touch injection unavailable (0x80070016"), 1u) << text;
  EXPECT_EQ(count("; touch falls back to mouse"), 1u) << text;
}

// ---- pointer, keys, text, wheel ----

TEST_F(InjectorTest, PointerButtonsSendOnlyChanges) {
  injector.SetTapCallback([this](POINT p) { taps.push_back(p); });
  const auto pointer = [&](uint8_t kind, uint8_t button, float x = 0.5f) {
    Send(kPointer, test::PointerPayload(kind, button, x, 0.5f));
  };
  pointer(2, 0);  // up of a button that is not down
  pointer(1, 0);
  pointer(1, 0);  // repeated down
  pointer(2, 0);
  pointer(1, 1);
  pointer(2, 1);
  pointer(1, 2);
  pointer(2, 2);
  pointer(1, 3);  // unknown button
  pointer(9, 0);  // unknown kind
  const std::vector<MouseEvent> expected = {
      {MOUSEEVENTF_LEFTDOWN, 960, 540, 0},   {MOUSEEVENTF_LEFTUP, 960, 540, 0},
      {MOUSEEVENTF_RIGHTDOWN, 960, 540, 0},  {MOUSEEVENTF_RIGHTUP, 960, 540, 0},
      {MOUSEEVENTF_MIDDLEDOWN, 960, 540, 0}, {MOUSEEVENTF_MIDDLEUP, 960, 540, 0}};
  EXPECT_EQ(MouseEvents(backend), expected);
  EXPECT_EQ(taps.size(), 1u);  // the left click
  // Short payloads and non-finite amounts are dropped.
  backend.Clear();
  auto shortPayload = test::PointerPayload(0, 0, 0.5f, 0.5f);
  shortPayload.pop_back();
  Send(kPointer, shortPayload);
  Send(kPointer, test::PointerPayload(4, 0, 0.5f, 0.5f, 0, kNaN));
  Send(kPointer, test::PointerPayload(4, 0, 0.5f, 0.5f, kInf, 1));
  EXPECT_TRUE(backend.sendCalls.empty());
}

TEST_F(InjectorTest, KeysOutsideTheRangeAreIgnored) {
  Send(kKey, test::KeyPayload(0, true, false));
  Send(kKey, test::KeyPayload(256, true, false));
  Send(kKey, {0x41, 0x00, 0x01});
  EXPECT_TRUE(backend.sendCalls.empty());
  Send(kKey, test::KeyPayload(255, true, false));
  EXPECT_EQ(backend.sendCalls.size(), 1u);
}

TEST_F(InjectorTest, HeldKeyIsReleasedOnceWithItsExtendedFlag) {
  Send(kKey, test::KeyPayload(VK_RIGHT, true, true));
  Send(kKey, test::KeyPayload(VK_SHIFT, true, false));
  Send(kKey, test::KeyPayload(VK_SHIFT, false, false));
  ASSERT_EQ(backend.sendCalls.size(), 3u);
  const KEYBDINPUT press = backend.sendCalls[0].at(0).ki;
  EXPECT_EQ(press.wVk, VK_RIGHT);
  EXPECT_EQ(press.wScan, (VK_RIGHT + 0xE000) & 0xFF);
  EXPECT_EQ(press.dwFlags, static_cast<DWORD>(KEYEVENTF_EXTENDEDKEY));
  backend.Clear();
  injector.ReleaseAll();
  ASSERT_EQ(backend.sendCalls.size(), 1u);
  const KEYBDINPUT release = backend.sendCalls[0].at(0).ki;
  EXPECT_EQ(release.wVk, VK_RIGHT);
  EXPECT_EQ(release.dwFlags, static_cast<DWORD>(KEYEVENTF_KEYUP | KEYEVENTF_EXTENDEDKEY));
  backend.Clear();
  injector.ReleaseAll();
  EXPECT_TRUE(backend.sendCalls.empty());
}

std::vector<std::pair<WORD, DWORD>> Units(const std::vector<INPUT>& call) {
  std::vector<std::pair<WORD, DWORD>> out;
  for (const INPUT& in : call) {
    EXPECT_EQ(in.type, static_cast<DWORD>(INPUT_KEYBOARD));
    out.emplace_back(in.ki.dwFlags & KEYEVENTF_UNICODE ? in.ki.wScan : in.ki.wVk, in.ki.dwFlags);
  }
  return out;
}

TEST_F(InjectorTest, TextGoesOutInOneCall) {
  const DWORD U = KEYEVENTF_UNICODE, UP = KEYEVENTF_KEYUP;
  Send(kText, test::TextPayload("a\r\nb\t\b"));
  ASSERT_EQ(backend.sendCalls.size(), 1u);
  const std::vector<std::pair<WORD, DWORD>> expected = {
      {'a', U}, {'a', U | UP}, {VK_RETURN, 0}, {VK_RETURN, UP}, {'b', U}, {'b', U | UP},
      {VK_TAB, 0}, {VK_TAB, UP}, {VK_BACK, 0}, {VK_BACK, UP}};
  EXPECT_EQ(Units(backend.sendCalls[0]), expected);
  EXPECT_EQ(backend.sendCalls[0][2].ki.wScan, VK_RETURN);  // MAPVK_VK_TO_VSC, the plain map

  backend.Clear();
  Send(kText, test::TextPayload("\xF0\x9F\x98\x80"));
  ASSERT_EQ(backend.sendCalls.size(), 1u);
  const std::vector<std::pair<WORD, DWORD>> emoji = {{0xD83D, U}, {0xD83D, U | UP}, {0xDE00, U}, {0xDE00, U | UP}};
  EXPECT_EQ(Units(backend.sendCalls[0]), emoji);
  EXPECT_EQ(backend.sendCalls[0][0].ki.wVk, 0);

  backend.Clear();
  Send(kText, test::TextPayload(std::string(4097, 'x')));
  Send(kText, {});
  Send(kText, test::TextPayload("\r"));
  EXPECT_TRUE(backend.sendCalls.empty());
  Send(kText, test::TextPayload(std::string(4096, 'x')));
  ASSERT_EQ(backend.sendCalls.size(), 1u);
  EXPECT_EQ(backend.sendCalls[0].size(), 8192u);
}

TEST_F(InjectorTest, WheelRoundsHalfAway) {
  Send(kPointer, test::PointerPayload(4, 0, 0.5f, 0.5f, -0.5f, 0.5f));
  Send(kPointer, test::PointerPayload(4, 0, 0.5f, 0.5f, 0, 100.0f));  // clamped to 20 notches
  Send(kPointer, test::PointerPayload(4, 0, 0.5f, 0.5f, 0.001f, -0.0125f));
  const std::vector<MouseEvent> expected = {{MOUSEEVENTF_WHEEL, 960, 540, 60}, {MOUSEEVENTF_HWHEEL, 960, 540, -60},
                                            {MOUSEEVENTF_WHEEL, 960, 540, 2400}, {MOUSEEVENTF_WHEEL, 960, 540, -2}};
  EXPECT_EQ(MouseEvents(backend), expected);
}

TEST_F(InjectorTest, DragScrollCarriesFractions) {
  // 800 px high target, 1/256 of it per message: 3.125 px, 7.5 wheel units at 96 DPI.
  injector.SetTargetRect(RECT{0, 0, 1920, 800});
  for (int i = 0; i < 10; ++i) {
    Send(kPointer, test::PointerPayload(3, 0, 0.5f, 0.5f, 0, 1.0f / 256));
  }
  int32_t sum = 0;
  const auto events = MouseEvents(backend);
  ASSERT_EQ(events.size(), 10u);
  for (size_t i = 0; i < events.size(); ++i) {
    EXPECT_EQ(events[i].button, static_cast<DWORD>(MOUSEEVENTF_WHEEL));
    EXPECT_EQ(events[i].data, i % 2 == 0 ? 7 : 8);
    sum += events[i].data;
  }
  EXPECT_EQ(sum, 75);

  // Horizontal drags scroll the other way; 192 DPI halves the amount; 0 DPI counts as 96.
  backend.Clear();
  backend.dpi = 192;
  Send(kPointer, test::PointerPayload(3, 0, 0.5f, 0.5f, 0.3125f, 0));  // 600 px: -6 notches at 100 px
  backend.dpi = 0;
  Send(kPointer, test::PointerPayload(3, 0, 0.5f, 0.5f, 0, 0.0625f));  // 50 px: one notch
  const std::vector<MouseEvent> expected = {{MOUSEEVENTF_HWHEEL, 960, 400, -720}, {MOUSEEVENTF_WHEEL, 960, 400, 120}};
  EXPECT_EQ(MouseEvents(backend), expected);
}

// ---- release ----

TEST_F(InjectorTest, ReleaseAllLiftsPenTouchAndButtons) {
  Pen({0x03, 0.5f, 0.5f});
  Touch({{1, 0, 0.1f, 0.1f}, {2, 0, 0.2f, 0.2f}});
  Send(kPointer, test::PointerPayload(1, 1, 0.5f, 0.5f));
  Send(kPointer, test::PointerPayload(1, 2, 0.5f, 0.5f));
  backend.Clear();
  backend.cursor = POINT{100, 200};
  injector.ReleaseAll();
  ASSERT_EQ(backend.injections.size(), 2u);
  EXPECT_EQ(backend.injections[0].info[0].penInfo.pointerInfo.pointerFlags, POINTER_FLAG_UP | POINTER_FLAG_PRIMARY);
  ASSERT_EQ(backend.injections[1].info.size(), 2u);
  EXPECT_EQ(backend.injections[1].info[0].touchInfo.pointerInfo.pointerFlags, POINTER_FLAG_UP);
  const std::vector<MouseEvent> expected = {{MOUSEEVENTF_RIGHTUP, 100, 200, 0}, {MOUSEEVENTF_MIDDLEUP, 100, 200, 0}};
  EXPECT_EQ(MouseEvents(backend), expected);
  // The pen also left the range; a second release has nothing to lift.
  backend.Clear();
  injector.ReleaseAll();
  EXPECT_TRUE(backend.injections.empty());
  EXPECT_TRUE(backend.sendCalls.empty());
}

TEST(InjectorDevices, DestroyedWithTheInjector) {
  RecordingInputBackend backend(true);
  { InputInjector injector(backend); }
  ASSERT_EQ(backend.destroyed.size(), 2u);
  EXPECT_EQ(backend.destroyed[0], backend.penDevice);
  EXPECT_EQ(backend.destroyed[1], backend.touchDevice);
}

}  // namespace
}  // namespace kelm
