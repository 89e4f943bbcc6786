// Raw pointer shapes converted to B8G8R8A8, and refused when they do not fit.
#include <gtest/gtest.h>

#include <memory>

#include "media/pointer_shape.h"

namespace kelm {
namespace {

struct Px {
  uint8_t b, g, r, a;
  bool operator==(const Px&) const = default;
};
constexpr Px kTransparent{0, 0, 0, 0};
constexpr Px kBlack{0, 0, 0, 255};
constexpr Px kWhite{255, 255, 255, 255};

Px At(const ConvertedPointer& c, uint32_t x, uint32_t y) {
  const uint8_t* p = &c.pixels[(size_t{y} * c.width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

void SetBit(std::vector<uint8_t>& raw, uint32_t pitch, uint32_t x, uint32_t y) {
  raw[size_t{y} * pitch + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

// A 32 x 32 I-beam-like monochrome pointer: 64 mask rows, pitch 4 bytes. Column x
// of the top row holds each of the four AND/XOR combinations.
std::vector<uint8_t> MonochromeIBeam() {
  constexpr uint32_t pitch = 4;
  std::vector<uint8_t> raw(pitch * 64, 0);
  for (uint32_t y = 0; y < 32; ++y) {
    for (uint32_t x = 0; x < 32; ++x) SetBit(raw, pitch, x, y);  // AND 1: screen shows
  }
  // Column 0: AND 0, XOR 0 (black); column 1: AND 0, XOR 1 (white);
  // column 2: AND 1, XOR 1 (inverted); column 3: AND 1, XOR 0 (transparent).
  raw[0] &= 0x3F;
  SetBit(raw, pitch, 1, 32);
  SetBit(raw, pitch, 2, 32);
  // The beam: inverted pixels in column 15, rows 4 to 27.
  for (uint32_t y = 4; y < 28; ++y) SetBit(raw, pitch, 15, 32 + y);
  return raw;
}

TEST(PointerShape, MonochromeHalvesTheHeightAndInvertedIsBlack) {
  const auto raw = MonochromeIBeam();
  const auto c = ConvertPointerShape({kPointerShapeMonochrome, 32, 64, 4, 15, 16}, raw);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->width, 32u);
  EXPECT_EQ(c->height, 32u);
  ASSERT_EQ(c->pixels.size(), 32u * 32 * 4);
  EXPECT_EQ(At(*c, 0, 0), kBlack);
  EXPECT_EQ(At(*c, 1, 0), kWhite);
  EXPECT_EQ(At(*c, 2, 0), kBlack);
  EXPECT_EQ(At(*c, 3, 0), kTransparent);
  for (uint32_t y = 4; y < 28; ++y) EXPECT_EQ(At(*c, 15, y), kBlack) << y;
  EXPECT_EQ(At(*c, 15, 3), kTransparent);
  EXPECT_EQ(At(*c, 14, 10), kTransparent);
  EXPECT_EQ(At(*c, 31, 31), kTransparent);
}

TEST(PointerShape, ColorIsCopiedWithItsAlpha) {
  // 3 x 2 pixels in rows of 16 bytes (4 bytes of padding each).
  std::vector<uint8_t> raw(16 * 2, 0xEE);
  const uint8_t row0[] = {1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 255};
  const uint8_t row1[] = {0, 0, 0, 0, 20, 30, 40, 128, 255, 255, 255, 255};
  std::copy(std::begin(row0), std::end(row0), raw.begin());
  std::copy(std::begin(row1), std::end(row1), raw.begin() + 16);
  const auto c = ConvertPointerShape({kPointerShapeColor, 3, 2, 16, 0, 0}, raw);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->height, 2u);
  EXPECT_EQ(c->pixels, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 255, 0, 0, 0, 0, 20, 30, 40, 128,
                                             255, 255, 255, 255}));
}

TEST(PointerShape, MaskedColor) {
  // Mask 0: the colour, opaque. Mask set: black over a colour, transparent over black.
  const std::vector<uint8_t> raw = {10, 20, 30, 0, 0, 0, 0, 0, 10, 20, 30, 0xFF, 0, 0, 0, 0xFF};
  const auto c = ConvertPointerShape({kPointerShapeMaskedColor, 4, 1, 16, 0, 0}, raw);
  ASSERT_TRUE(c);
  EXPECT_EQ(At(*c, 0, 0), (Px{10, 20, 30, 255}));
  EXPECT_EQ(At(*c, 1, 0), kBlack);
  EXPECT_EQ(At(*c, 2, 0), kBlack);
  EXPECT_EQ(At(*c, 3, 0), kTransparent);
}

// The raw buffer sits at the very end of a heap block, so a read past it would leave
// the block (and be caught by a checked build); the checks must refuse first.
TEST(PointerShape, ShapesThatDoNotFitAreRefused) {
  struct Case {
    const char* what;
    PointerShapeInfo info;
    size_t size;
  };
  const Case cases[] = {
      {"colour, last row cut", {kPointerShapeColor, 32, 32, 128, 0, 0}, 128 * 32 - 1},
      {"colour, row wider than pitch", {kPointerShapeColor, 33, 32, 128, 0, 0}, 128 * 32},
      {"masked, row wider than pitch", {kPointerShapeMaskedColor, 32, 2, 127, 0, 0}, 1024},
      {"masked, last row cut", {kPointerShapeMaskedColor, 4, 4, 16, 0, 0}, 63},
      {"mono, odd height", {kPointerShapeMonochrome, 32, 63, 4, 0, 0}, 4 * 64},
      {"mono, row wider than pitch", {kPointerShapeMonochrome, 33, 64, 4, 0, 0}, 4 * 64},
      {"mono, last row cut", {kPointerShapeMonochrome, 32, 64, 4, 0, 0}, 4 * 64 - 1},
      {"pitch x height overflows 32 bits", {kPointerShapeColor, 1, 0x40000000, 8, 0, 0}, 64},
      {"unknown kind", {3, 1, 1, 4, 0, 0}, 4},
  };
  for (const Case& c : cases) {
    auto block = std::make_unique<uint8_t[]>(c.size);
    std::fill_n(block.get(), c.size, 0xFF);
    EXPECT_FALSE(ConvertPointerShape(c.info, {block.get(), c.size})) << c.what;
  }
  // The same shapes with enough bytes are taken.
  std::vector<uint8_t> enough(128 * 32, 0);
  EXPECT_TRUE(ConvertPointerShape({kPointerShapeColor, 32, 32, 128, 0, 0}, enough));
  EXPECT_TRUE(ConvertPointerShape({kPointerShapeMonochrome, 32, 64, 4, 0, 0}, std::span(enough).first(256)));
  EXPECT_TRUE(ConvertPointerShape({kPointerShapeMonochrome, 25, 64, 4, 0, 0}, std::span(enough).first(256)));
}

}  // namespace
}  // namespace kelm
