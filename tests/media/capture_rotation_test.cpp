// Which rotation the capture uses for what duplication reports.
#include <gtest/gtest.h>

#include "media/capture_rotation.h"

namespace kelm {
namespace {

TEST(CaptureRotation, ReportedQuarterTurnWithUprightDesktopIsIdentity) {
  struct Case {
    DisplayRotation reported;
    int64_t desktopW, desktopH;
    uint32_t modeW, modeH;
    DisplayRotation expected;
  };
  const Case cases[] = {
      {DisplayRotation::Rotate90, 1920, 1080, 1920, 1080, DisplayRotation::Identity},
      {DisplayRotation::Rotate270, 1920, 1080, 1920, 1080, DisplayRotation::Identity},
      {DisplayRotation::Rotate90, 1080, 1920, 1920, 1080, DisplayRotation::Rotate90},
      {DisplayRotation::Rotate270, 1080, 1920, 1920, 1080, DisplayRotation::Rotate270},
      {DisplayRotation::Rotate180, 1920, 1080, 1920, 1080, DisplayRotation::Rotate180},
      {DisplayRotation::Identity, 1920, 1080, 1920, 1080, DisplayRotation::Identity},
      {DisplayRotation::Unspecified, 1920, 1080, 1920, 1080, DisplayRotation::Identity},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RotationToUse(c.reported, c.desktopW, c.desktopH, c.modeW, c.modeH), c.expected)
        << static_cast<uint32_t>(c.reported) << " " << c.desktopW << "x" << c.desktopH;
  }
}

}  // namespace
}  // namespace kelm
