// Which rotation the capture uses for what duplication reports.
#include <gtest/gtest.h>

#include "media/capture_rotation.h"

namespace kelm {
namespace {

TEST(CaptureRotation, ReportedQuarterTurnWithUprightDesktopIsIdentity) {
  struct Case {
    uint32_t reported;
    int64_t desktopW, desktopH;
    uint32_t modeW, modeH;
    uint32_t expected;
  };
  const Case cases[] = {
      {kRotation90, 1920, 1080, 1920, 1080, kRotationIdentity},
      {kRotation270, 1920, 1080, 1920, 1080, kRotationIdentity},
      {kRotation90, 1080, 1920, 1920, 1080, kRotation90},
      {kRotation270, 1080, 1920, 1920, 1080, kRotation270},
      {kRotation180, 1920, 1080, 1920, 1080, kRotation180},
      {kRotationIdentity, 1920, 1080, 1920, 1080, kRotationIdentity},
      {kRotationUnspecified, 1920, 1080, 1920, 1080, kRotationIdentity},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RotationToUse(c.reported, c.desktopW, c.desktopH, c.modeW, c.modeH), c.expected)
        << c.reported << " " << c.desktopW << "x" << c.desktopH;
  }
}

}  // namespace
}  // namespace kelm
