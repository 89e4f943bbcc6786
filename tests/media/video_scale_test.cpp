// The encoded size for a source and the device's view, and the lock screen's: tables of cases.
#include "media/video_scale.h"

#include <gtest/gtest.h>

namespace kelm {
namespace {

struct ScaleCase {
  uint32_t sw, sh, tw, th;
  bool mirror, remote;
  EncodedSize expected;
};

class EncodedSizeTest : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(EncodedSizeTest, MatchesTheRule) {
  const ScaleCase& c = GetParam();
  EXPECT_EQ(ComputeEncodedSize(c.sw, c.sh, c.tw, c.th, c.mirror, c.remote), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EncodedSizeTest,
    ::testing::Values(ScaleCase{3840, 2160, 3840, 2160, false, true, {1920, 1080}},
                      ScaleCase{3840, 2160, 3840, 2160, false, false, {3840, 2160}},
                      ScaleCase{2560, 1440, 1280, 800, true, false, {1280, 720}},
                      ScaleCase{100, 50, 1280, 800, false, true, {100, 64}},
                      ScaleCase{5120, 2880, 5120, 2880, false, false, {4096, 2304}},
                      ScaleCase{1281, 721, 1281, 721, false, false, {1280, 720}},
                      ScaleCase{0, 0, 1280, 800, true, true, {0, 0}},
                      ScaleCase{1920, 0, 1280, 800, true, false, {0, 0}},
                      ScaleCase{1920, 1080, 0, 0, true, false, {64, 64}}));

// When the device's size is the binding bound, that side is the device's side itself.
INSTANTIATE_TEST_SUITE_P(
    BindingSide, EncodedSizeTest,
    ::testing::Values(ScaleCase{2256, 1504, 2000, 2000, true, false, {2000, 1332}},
                      ScaleCase{1504, 2256, 2000, 2000, true, false, {1332, 2000}},
                      ScaleCase{1920, 1080, 1280, 800, true, false, {1280, 720}},
                      ScaleCase{2148, 716, 2148, 716, false, true, {1920, 640}},
                      ScaleCase{8000, 1000, 8000, 1000, false, false, {4096, 512}}));

TEST(EncodedSizeBindingTest, EveryEvenTargetBelowTheSourceComesOutExactly) {
  int wrong = 0;
  for (uint32_t side = kMinEncodedSide; side <= kMaxEncodedSide; ++side) {
    for (uint32_t target = kMinEncodedSide; target <= side; target += 2) {
      // A wide source whose width binds; its height never reaches its own bound.
      const EncodedSize size = ComputeEncodedSize(side, 64, target, 4096, true, false);
      if (size.width != target && ++wrong <= 5) ADD_FAILURE() << side << " -> " << target << " gave " << size.width;
    }
  }
  EXPECT_EQ(wrong, 0);
}

struct LockScaleCase {
  uint32_t sw, sh, tw, th;
  bool remote;
  EncodedSize expected;
};

class LockScreenSizeTest : public ::testing::TestWithParam<LockScaleCase> {};

TEST_P(LockScreenSizeTest, ScalesToTheDevice) {
  const LockScaleCase& c = GetParam();
  EXPECT_EQ(ComputeLockScreenSize(c.sw, c.sh, c.tw, c.th, c.remote), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LockScreenSizeTest,
    ::testing::Values(LockScaleCase{1920, 1080, 1280, 800, false, {1280, 720}},
                      LockScaleCase{1920, 1080, 2560, 1600, false, {1920, 1080}},  // never scaled up
                      LockScaleCase{3840, 2160, 3840, 2160, true, {1920, 1080}},   // the remote caps
                      LockScaleCase{2560, 1600, 2560, 1600, true, {1920, 1200}},
                      LockScaleCase{0, 0, 1280, 800, false, {0, 0}}));

}  // namespace
}  // namespace kelm
