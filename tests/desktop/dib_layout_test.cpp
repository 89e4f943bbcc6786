// The clipboard image bound and the bottom-up DIB layout.
#include "desktop/dib_layout.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelm {
namespace {

TEST(DibLayout, PixelBound) {
  struct Case {
    uint64_t w, h;
    bool fits;
  };
  const Case cases[] = {{1, 1, true},         {16384, 2441, true},  {16384, 2442, false}, {16385, 1, false},
                        {1, 16385, false},    {0, 10, false},       {10, 0, false},       {16384, 16384, false},
                        {6324, 6324, true},   {6325, 6325, false}};
  for (const Case& c : cases) EXPECT_EQ(ClipboardImageFits(c.w, c.h), c.fits) << c.w << "x" << c.h;
}

TEST(DibLayout, RowsAreReversedBehindTheHeader) {
  const std::vector<uint8_t> top = {1, 2, 3, 4, 5, 6, 7, 8,  // row 0
                                    9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
                                    // rows 1 and 2 of a 2x3 image
                                    };
  std::vector<uint8_t> out(DibSize(2, 3));
  ASSERT_EQ(out.size(), 40u + 24u);
  ASSERT_TRUE(WriteBottomUpDib(2, 3, top, out));
  EXPECT_EQ(out[0], 40);
  EXPECT_EQ(out[4], 2);
  EXPECT_EQ(out[8], 3);  // positive height
  EXPECT_EQ(out[12], 1);
  EXPECT_EQ(out[14], 32);
  EXPECT_EQ(out[16], 0);
  EXPECT_EQ(out[20], 24);
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 40, out.begin() + 48), std::vector<uint8_t>(top.begin() + 16, top.end()));
  EXPECT_EQ(std::vector<uint8_t>(out.end() - 8, out.end()), std::vector<uint8_t>(top.begin(), top.begin() + 8));
  EXPECT_FALSE(WriteBottomUpDib(2, 2, top, out));
}

}  // namespace
}  // namespace kelm
