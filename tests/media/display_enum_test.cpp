// The display list and the virtual-monitor test of EDID identifiers.
#include <gtest/gtest.h>

#include "media/display_enum.h"

namespace kelm {
namespace {

TEST(DisplayEnum, ListsTheVirtualScreen) {
  const auto displays = EnumerateDisplays();
  ASSERT_EQ(displays.size(), 1u);
  const DisplayInfo& d = displays.front();
  EXPECT_EQ(d.deviceName.rfind(L"\\\\.\\DISPLAY", 0), 0u);
  EXPECT_FALSE(d.monitorName.empty());
  EXPECT_EQ(d.rect.left, 0);
  EXPECT_EQ(d.rect.top, 0);
  EXPECT_EQ(d.rect.right, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(d.rect.bottom, GetSystemMetrics(SM_CYSCREEN));
  EXPECT_TRUE(d.primary);
  EXPECT_FALSE(d.isVirtual);
}

TEST(DisplayEnum, VirtualMonitorIdentifiers) {
  struct Case {
    bool valid;
    uint16_t manufacturer, product;
    bool expected;
  };
  const Case cases[] = {
      {true, 0x2D8D, 0x5C2E, true},  {true, 0x8D2D, 0x5C2E, true},   {false, 0x2D8D, 0x5C2E, false},
      {true, 0x2D8D, 0x2E5C, false}, {true, 0x2D8E, 0x5C2E, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsVirtualMonitorEdid(c.valid, c.manufacturer, c.product), c.expected)
        << std::hex << c.manufacturer << " " << c.product;
  }
}

}  // namespace
}  // namespace kelm
