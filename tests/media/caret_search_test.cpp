// The blinking-caret search on synthetic bands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "media/caret_search.h"

namespace kelm {
namespace {

constexpr uint64_t kMs = 1000;

// A B8G8R8A8 band filled with one grey, with rectangles drawn into it.
struct Band {
  uint32_t w, h;
  std::vector<uint8_t> px;
  Band(uint32_t width, uint32_t height, uint8_t grey = 200) : w(width), h(height), px(size_t{width} * height * 4) {
    for (size_t i = 0; i < px.size(); i += 4) {
      px[i] = px[i + 1] = px[i + 2] = grey;
      px[i + 3] = 255;
    }
  }
  Band& Fill(uint32_t x, uint32_t y, uint32_t rw, uint32_t rh, uint8_t v = 0) {
    for (uint32_t yy = y; yy < y + rh && yy < h; ++yy) {
      for (uint32_t xx = x; xx < x + rw && xx < w; ++xx) {
        uint8_t* p = &px[(size_t{yy} * w + xx) * 4];
        p[0] = p[1] = p[2] = v;
      }
    }
    return *this;
  }
};

// Feeds one band to an armed search as a read-back would.
// The frame is the band's size unless given.
int Feed(CaretSearch& s, const Band& b, uint64_t now, uint32_t frameW = 0, uint32_t frameH = 0) {
  EXPECT_TRUE(s.ClipTo(frameW != 0 ? frameW : b.w, frameH != 0 ? frameH : b.h));
  auto dst = s.BandPixels();
  EXPECT_EQ(dst.size(), b.px.size());
  std::memcpy(dst.data(), b.px.data(), std::min(dst.size(), b.px.size()));
  return s.OnBand(now);
}

std::vector<ChangePoint> Changes(const Band& a, const Band& b) {
  std::vector<uint8_t> mask;
  return FindCaretChanges(a.px, b.px, a.w, a.h, mask);
}

TEST(CaretChanges, CaretLikeBlobGivesItsBoxCentre) {
  const Band a(100, 60);
  const Band b = Band(100, 60).Fill(10, 5, 2, 20);
  EXPECT_EQ(Changes(a, b), (std::vector<ChangePoint>{{10, 14}}));
}

TEST(CaretChanges, ShapeRules) {
  struct Case {
    const char* what;
    uint32_t w, h;
    bool halfFilled;
    bool caretLike;
  };
  const Case cases[] = {
      {"6 wide", 6, 20, false, true},    {"7 wide", 7, 20, false, false},   {"8 high", 2, 8, false, true},
      {"7 high", 2, 7, false, false},    {"90 high", 1, 90, false, true},   {"91 high", 1, 91, false, false},
      {"half filled", 4, 20, true, false},
  };
  for (const Case& c : cases) {
    const Band a(40, 100);
    Band b(40, 100);
    if (c.halfFilled) {
      // A checkerboard of columns: two of the four columns, 50 % of the box.
      b.Fill(5, 2, 1, c.h).Fill(8, 2, 1, c.h).Fill(5, 2, 4, 1).Fill(5, 1 + c.h, 4, 1);
      // Corners make it one blob; the fill stays below 60 %.
    } else {
      b.Fill(5, 2, c.w, c.h);
    }
    EXPECT_EQ(Changes(a, b).size(), c.caretLike ? 1u : 0u) << c.what;
  }
}

TEST(CaretChanges, SmallDifferencesAreNoChange) {
  const Band a(50, 50, 100);
  Band b(50, 50, 100);
  // |dB| + |dG| + |dR| = 60 is not a change; 61 is.
  for (uint32_t y = 5; y < 25; ++y) {
    for (uint32_t x = 5; x < 7; ++x) {
      uint8_t* p = &b.px[(size_t{y} * 50 + x) * 4];
      p[0] = 120;
      p[1] = 120;
      p[2] = 120;
      p[3] = 0;  // alpha is ignored
    }
  }
  EXPECT_TRUE(Changes(a, b).empty());
  for (uint32_t y = 5; y < 25; ++y) b.px[(size_t{y} * 50 + 5) * 4] = 121;
  EXPECT_EQ(Changes(a, b).size(), 1u);
}

TEST(CaretChanges, DiagonalNeighboursFormOneBlob) {
  const Band a(50, 50);
  // Two 1x12 bars touching only at a corner are one blob, half filled: not a caret.
  const Band joined = Band(50, 50).Fill(10, 3, 1, 12).Fill(11, 15, 1, 12);
  EXPECT_TRUE(Changes(a, joined).empty());
  // One column further apart they are two carets.
  const Band apart = Band(50, 50).Fill(10, 3, 1, 12).Fill(12, 15, 1, 12);
  EXPECT_EQ(Changes(a, apart), (std::vector<ChangePoint>{{10, 8}, {12, 20}}));
}

TEST(CaretChanges, ThreeCaretsOrMuchChangeGiveNothing) {
  const Band a(300, 97);
  Band two = Band(300, 97).Fill(10, 10, 2, 20).Fill(100, 10, 2, 20);
  EXPECT_EQ(Changes(a, two).size(), 2u);
  two.Fill(200, 10, 2, 20);
  EXPECT_TRUE(Changes(a, two).empty());
  // One caret plus a large non-caret change (over 1500 pixels in all).
  const Band busy = Band(300, 97).Fill(10, 10, 2, 20).Fill(100, 0, 40, 40);
  EXPECT_TRUE(Changes(a, busy).empty());
  const Band edge = Band(300, 97).Fill(10, 10, 2, 20).Fill(100, 0, 40, 36);  // 1440 + 40
  EXPECT_EQ(Changes(a, edge).size(), 1u);
}

class CaretSearchTest : public ::testing::Test {
 protected:
  void SetUp() override { search.Arm({100, 200, 400, 297}, 0, 1600 * kMs); }
  int Step(const Band& b, uint64_t now) { return Feed(search, b, now, 1920, 1080); }
  CaretSearch search;
  Band base{300, 97};
};

TEST_F(CaretSearchTest, BlinkRepeatedAfterHalfASecondIsFound) {
  EXPECT_EQ(Step(base, 0), kCaretLooking);
  EXPECT_EQ(Step(Band(300, 97).Fill(20, 30, 2, 20), 100 * kMs), kCaretLooking);
  EXPECT_EQ(Step(base, 150 * kMs), kCaretLooking);
  // Shifted 3 px right and 8 px down, 500 ms after it first showed.
  EXPECT_EQ(Step(Band(300, 97).Fill(23, 38, 2, 20), 600 * kMs), kCaretFound);
  EXPECT_EQ(search.FoundX(), 100 + 23);
  EXPECT_EQ(search.FoundY(), 200 + 38 + 9);
  EXPECT_FALSE(search.Armed());
  EXPECT_EQ(search.CheckTimeout(700 * kMs), kCaretNotArmed);
}

TEST_F(CaretSearchTest, RepeatTooSoonTooLateOrTooFarIsNotFound) {
  struct Case {
    const char* what;
    uint64_t delay;
    uint32_t dx, dy;
  };
  const Case cases[] = {
      {"100 ms", 100 * kMs, 0, 0}, {"1.5 s", 1500 * kMs, 0, 0}, {"199 ms", 199 * kMs, 0, 0},
      {"4 px", 500 * kMs, 4, 0},   {"9 px", 500 * kMs, 0, 9},
  };
  for (const Case& c : cases) {
    CaretSearch s;
    s.Arm({0, 0, 300, 97}, 0, 10000 * kMs);
    Feed(s, base, 0);
    ASSERT_EQ(Feed(s, Band(300, 97).Fill(20, 30, 2, 20), 10 * kMs), kCaretLooking);
    // Back to the base first, at once, so only the second appearance can match.
    ASSERT_EQ(Feed(s, base, 11 * kMs), kCaretLooking);
    EXPECT_EQ(Feed(s, Band(300, 97).Fill(20 + c.dx, 30 + c.dy, 2, 20), 10 * kMs + c.delay), kCaretLooking)
        << c.what;
  }
  // The same sequence at 500 ms and 1300 ms is found.
  for (uint64_t delay : {200 * kMs, 500 * kMs, 1300 * kMs}) {
    CaretSearch s;
    s.Arm({0, 0, 300, 97}, 0, 10000 * kMs);
    Feed(s, base, 0);
    Feed(s, Band(300, 97).Fill(20, 30, 2, 20), 10 * kMs);
    Feed(s, base, 11 * kMs);
    EXPECT_EQ(Feed(s, Band(300, 97).Fill(20, 30, 2, 20), 10 * kMs + delay), kCaretFound) << delay;
  }
}

TEST_F(CaretSearchTest, TimesOutAtTheDeadline) {
  EXPECT_EQ(Step(base, 0), kCaretLooking);
  EXPECT_EQ(search.CheckTimeout(1599 * kMs), kCaretLooking);
  EXPECT_EQ(Step(base, 1600 * kMs), kCaretTimedOut);
  EXPECT_FALSE(search.Armed());
  EXPECT_EQ(search.CheckTimeout(1700 * kMs), kCaretNotArmed);
}

TEST(CaretSearch, EmptyRegionLeavesItDisarmed) {
  CaretSearch s;
  s.Arm({0, 50, 300, 50}, 0, 1000);
  EXPECT_FALSE(s.Armed());
  EXPECT_EQ(s.CheckTimeout(1), kCaretNotArmed);
  s.Arm({10, 0, 5, 20}, 0, 1000);
  EXPECT_FALSE(s.Armed());
  EXPECT_EQ(s.OnBand(1), kCaretNotArmed);
}

TEST(CaretSearch, OldestCandidatesAreDroppedAt257) {
  CaretSearch s;
  s.Arm({0, 0, 1000, 97}, 0, 100000 * kMs);
  const Band base(1000, 97);
  Feed(s, base, 0);
  // Each step adds one candidate: a caret appears, 1 us apart (too soon to match).
  uint64_t now = 1;
  for (uint32_t i = 0; i < 257; ++i) {
    const uint32_t x = (i % 100) * 10;
    const uint32_t y = (i / 100) * 30;
    Feed(s, Band(1000, 97).Fill(x, y, 2, 20), now++);
    ASSERT_EQ(Feed(s, base, now++), kCaretLooking);  // the disappearance adds one too
    if (i == 127) {
      ASSERT_EQ(s.Candidates().size(), 256u);
    }
  }
  // The 257th candidate trimmed the list to 129; 257 x 2 added in all.
  // After trimming at each reach of 257: 2 x 257 = 514 -> 514 - 128 x k < 257.
  EXPECT_LT(s.Candidates().size(), 257u);
  EXPECT_GE(s.Candidates().size(), 129u);
  EXPECT_EQ((2 * 257 - s.Candidates().size()) % 128, 0u);
  // What remains are the newest candidates, in order.
  EXPECT_EQ(s.Candidates().back().time, now - 1);
  EXPECT_TRUE(std::is_sorted(s.Candidates().begin(), s.Candidates().end(),
                             [](const CaretCandidate& a, const CaretCandidate& b) { return a.time < b.time; }));
}

TEST(CaretSearch, TrimmingForgetsTheOldestPlace) {
  for (const bool trim : {false, true}) {
    CaretSearch s;
    s.Arm({0, 0, 1000, 97}, 0, 100000 * kMs);
    const Band base(1000, 97);
    Feed(s, base, 0);
    // The two oldest candidates: a caret at the left edge shows and goes at 1 ms.
    Feed(s, Band(1000, 97).Fill(0, 0, 2, 20), 1 * kMs);
    Feed(s, base, 1 * kMs + 1);
    // Then 2 x 127 (or 2 x 128, reaching 257) more elsewhere, microseconds apart.
    uint64_t now = 2 * kMs;
    const uint32_t others = trim ? 128 : 127;
    for (uint32_t i = 0; i < others; ++i) {
      Feed(s, Band(1000, 97).Fill(20 + (i % 90) * 10, 50, 2, 20), now);
      Feed(s, base, now + 1);
      now += 2;
    }
    EXPECT_EQ(s.Candidates().size(), trim ? 130u : 256u);
    // The left-edge caret blinks again 500 ms later: found only while remembered.
    EXPECT_EQ(Feed(s, Band(1000, 97).Fill(0, 0, 2, 20), 501 * kMs), trim ? kCaretLooking : kCaretFound);
  }
}

TEST(CaretSearch, ClipsTheBandToTheFrame) {
  CaretSearch s;
  s.Arm({10, 1040, 1920, 1137}, 0, 1000);
  ASSERT_TRUE(s.ClipTo(1280, 1080));
  EXPECT_EQ(s.BandWidth(), 1270u);
  EXPECT_EQ(s.BandHeight(), 40u);
  EXPECT_EQ(s.BandPixels().size(), 1270u * 40 * 4);
  // A band that lies wholly outside the frame cannot be read.
  s.Arm({0, 1080, 1920, 1177}, 0, 1000);
  EXPECT_FALSE(s.ClipTo(1920, 1080));
  s.Arm({1920, 0, 2000, 97}, 0, 1000);
  EXPECT_FALSE(s.ClipTo(1920, 1080));
  s.Arm({-5, 0, 100, 97}, 0, 1000);
  EXPECT_FALSE(s.ClipTo(1920, 1080));
  // A failed read-back only checks the deadline.
  s.Arm({0, 0, 100, 97}, 0, 1000);
  EXPECT_EQ(s.OnBandFailed(999), kCaretLooking);
  EXPECT_EQ(s.OnBandFailed(1000), kCaretTimedOut);
}

TEST(CaretSearch, BandOfANewSizeIsNotComparedWithTheOldOne) {
  CaretSearch s;
  s.Arm({0, 0, 100, 97}, 0, 10000 * kMs);
  const Band base(100, 97);
  Feed(s, base, 0);
  Feed(s, Band(100, 97).Fill(20, 30, 2, 20), 1 * kMs);
  Feed(s, base, 2 * kMs);
  // The frame shrank: the band is 50 wide now and has nothing to compare with.
  Band small(50, 97);
  small.Fill(20, 30, 2, 20);
  EXPECT_EQ(Feed(s, small, 500 * kMs), kCaretLooking);
  EXPECT_EQ(s.Candidates().size(), 2u);
}

}  // namespace
}  // namespace kelm
