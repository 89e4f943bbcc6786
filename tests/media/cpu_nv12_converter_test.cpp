// CPU colour conversion: BT.709 values, rotation, scaling and odd sizes.
#include "media/cpu_nv12_converter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <utility>
#include <vector>

namespace kelm {
namespace {

struct Rgb {
  uint8_t r, g, b;
};
struct Yuv {
  int y, u, v;
};

constexpr Rgb kWhite{255, 255, 255}, kBlack{0, 0, 0}, kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255};

class Bgra {
 public:
  Bgra(uint32_t w, uint32_t h, size_t padding = 0) : w_(w), h_(h), pitch_(w * 4 + padding), data_(pitch_ * h, 0x5A) {}
  void Fill(const std::function<Rgb(uint32_t, uint32_t)>& at) {
    for (uint32_t y = 0; y < h_; ++y) {
      for (uint32_t x = 0; x < w_; ++x) {
        const Rgb c = at(x, y);
        uint8_t* p = &data_[y * pitch_ + x * 4];
        p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 255;
      }
    }
  }
  BgraView View() const { return {data_.data(), pitch_, w_, h_}; }

 private:
  uint32_t w_, h_;
  size_t pitch_;
  std::vector<uint8_t> data_;
};

class Nv12 {
 public:
  Nv12(uint32_t w, uint32_t h) : w_(w), h_(h), data_(size_t{w} * h * 3 / 2, 0) {}
  Nv12View View() { return {data_.data(), w_, data_.data() + size_t{w_} * h_, w_, w_, h_}; }
  int Y(uint32_t x, uint32_t y) const { return data_[size_t{y} * w_ + x]; }
  int U(uint32_t x, uint32_t y) const { return data_[size_t{w_} * h_ + size_t{y / 2} * w_ + (x & ~1u)]; }
  int V(uint32_t x, uint32_t y) const { return data_[size_t{w_} * h_ + size_t{y / 2} * w_ + (x & ~1u) + 1]; }

 private:
  uint32_t w_, h_;
  std::vector<uint8_t> data_;
};

Nv12 Convert(const Bgra& src, uint32_t rotation, uint32_t w, uint32_t h) {
  CpuNv12Converter c;
  EXPECT_TRUE(c.Prepare(src.View().width, src.View().height, static_cast<DisplayRotation>(rotation), w, h));
  Nv12 out(w, h);
  EXPECT_TRUE(c.Convert(src.View(), out.View()));
  return out;
}

TEST(CpuNv12Converter, ExactBt709StudioValues) {
  struct Case {
    Rgb rgb;
    Yuv yuv;
  };
  const Case cases[] = {{kWhite, {235, 128, 128}},
                        {kBlack, {16, 128, 128}},
                        {kRed, {63, 102, 240}},
                        {kGreen, {173, 42, 26}},
                        {kBlue, {32, 240, 118}}};
  struct Geometry {
    uint32_t sw, sh, rotation, w, h;
  };
  // Direct, shrunk, grown and rotated paths must all agree.
  const Geometry geometries[] = {{8, 6, 1, 8, 6},   {40, 6, 1, 40, 6}, {16, 12, 1, 8, 6},
                                 {4, 3, 1, 8, 6},   {6, 8, 2, 8, 6},   {8, 6, 3, 8, 6}};
  for (const auto& g : geometries) {
    for (const auto& c : cases) {
      Bgra src(g.sw, g.sh, 12);
      src.Fill([&](uint32_t, uint32_t) { return c.rgb; });
      const Nv12 out = Convert(src, g.rotation, g.w, g.h);
      for (uint32_t y = 0; y < g.h; ++y) {
        for (uint32_t x = 0; x < g.w; ++x) {
          ASSERT_EQ(out.Y(x, y), c.yuv.y) << x << "," << y << " geometry " << g.sw << "x" << g.sh;
          ASSERT_EQ(out.U(x, y), c.yuv.u) << x << "," << y;
          ASSERT_EQ(out.V(x, y), c.yuv.v) << x << "," << y;
        }
      }
    }
  }
}

// 2x2 blocks of six distinct colours, 3 blocks wide and 2 high.
const std::array<Rgb, 6> kBlocks = {kWhite, kRed, kGreen, kBlue, kBlack, Rgb{255, 255, 0}};
int BlockLuma(int block) {
  Bgra one(2, 2);
  one.Fill([&](uint32_t, uint32_t) { return kBlocks[block]; });
  return Convert(one, 1, 2, 2).Y(0, 0);
}

TEST(CpuNv12Converter, RotatesAnAsymmetricPattern) {
  Bgra src(6, 4);
  src.Fill([](uint32_t x, uint32_t y) { return kBlocks[(y / 2) * 3 + x / 2]; });
  struct Case {
    uint32_t rotation, w, h;
    // Output block (ox, oy) holds source block (bx, by) for source block coordinates.
    std::function<std::pair<int, int>(int, int)> where;
  };
  const Case cases[] = {
      {1, 6, 4, [](int bx, int by) { return std::pair{bx, by}; }},
      {2, 4, 6, [](int bx, int by) { return std::pair{1 - by, bx}; }},
      {3, 6, 4, [](int bx, int by) { return std::pair{2 - bx, 1 - by}; }},
      {4, 4, 6, [](int bx, int by) { return std::pair{by, 2 - bx}; }},
  };
  for (const auto& c : cases) {
    const Nv12 out = Convert(src, c.rotation, c.w, c.h);
    for (int by = 0; by < 2; ++by) {
      for (int bx = 0; bx < 3; ++bx) {
        const auto [ox, oy] = c.where(bx, by);
        const int expected = BlockLuma(by * 3 + bx);
        for (int dy = 0; dy < 2; ++dy) {
          for (int dx = 0; dx < 2; ++dx) {
            EXPECT_EQ(out.Y(ox * 2 + dx, oy * 2 + dy), expected)
                << "rotation " << c.rotation << " block " << bx << "," << by;
          }
        }
      }
    }
  }
}

TEST(CpuNv12Converter, Halves2560x1440To1280x720) {
  Bgra src(2560, 1440);
  // Each 2x2 block uniform, its grey level from its position; a one-pixel
  // checkerboard in the right half averages to grey.
  src.Fill([](uint32_t x, uint32_t y) -> Rgb {
    if (x >= 1280) return ((x + y) % 2 == 0) ? kWhite : kBlack;
    const uint8_t level = static_cast<uint8_t>((x / 2 + y / 2) % 256);
    return {level, level, level};
  });
  const Nv12 out = Convert(src, 1, 1280, 720);
  for (uint32_t y = 0; y < 720; y += 37) {
    for (uint32_t x = 0; x < 640; x += 13) {
      const uint8_t level = static_cast<uint8_t>((x + y) % 256);
      Bgra one(2, 2);
      one.Fill([&](uint32_t, uint32_t) { return Rgb{level, level, level}; });
      ASSERT_EQ(out.Y(x, y), Convert(one, 1, 2, 2).Y(0, 0)) << x << "," << y;
      ASSERT_EQ(out.U(x, y), 128);
    }
    for (uint32_t x = 640; x < 1280; x += 13) ASSERT_NEAR(out.Y(x, y), 126, 1) << x << "," << y;
  }
}

TEST(CpuNv12Converter, OddSourceSizes) {
  struct Case {
    uint32_t sw, sh, rotation, w, h;
  };
  for (const Case c : {Case{1367, 769, 1, 1366, 768}, {641, 479, 1, 1280, 720}, {333, 211, 2, 100, 200},
                       {3, 3, 4, 2, 2}, {1, 1, 1, 4, 4}}) {
    // A left-to-right ramp stays a ramp (rotated as asked) after scaling.
    Bgra src(c.sw, c.sh, 4);
    src.Fill([&](uint32_t x, uint32_t) {
      const uint8_t v = static_cast<uint8_t>(c.sw == 1 ? 128 : x * 255 / (c.sw - 1));
      return Rgb{v, v, v};
    });
    const Nv12 out = Convert(src, c.rotation, c.w, c.h);
    for (uint32_t y = 0; y < c.h; ++y) {
      for (uint32_t x = 1; x < c.w; ++x) {
        if (c.rotation == 1) {
          ASSERT_GE(out.Y(x, y), out.Y(x - 1, y)) << c.sw << "x" << c.sh << " at " << x << "," << y;
        }
      }
    }
    if (c.rotation == 2) {  // the source's left edge is now the top
      EXPECT_LT(out.Y(c.w / 2, 0), out.Y(c.w / 2, c.h - 1));
    }
    if (c.rotation == 1 && c.sw > 1) {
      EXPECT_NEAR(out.Y(0, 0), 16, 2);
      EXPECT_NEAR(out.Y(c.w - 1, 0), 235, 2);
    }
  }
}

TEST(CpuNv12Converter, FastAndGeneralPathsAgreeOnRandomPixels) {
  // A picture turned by 180 degrees and converted with that rotation must come out
  // exactly like the original converted straight, although the straight conversion
  // takes a fast path (same size, or an exact halving) and the turned one the general.
  struct Case {
    uint32_t sw, sh, w, h;
  };
  for (const Case c : {Case{66, 10, 66, 10}, {132, 20, 66, 10}}) {
    std::vector<Rgb> pixels(c.sw * c.sh);
    uint32_t seed = 12345;
    for (auto& p : pixels) {
      seed = seed * 1664525u + 1013904223u;
      p = {uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8)};
    }
    Bgra straight(c.sw, c.sh), turned(c.sw, c.sh);
    straight.Fill([&](uint32_t x, uint32_t y) { return pixels[y * c.sw + x]; });
    turned.Fill([&](uint32_t x, uint32_t y) { return pixels[(c.sh - 1 - y) * c.sw + (c.sw - 1 - x)]; });
    const Nv12 a = Convert(straight, 1, c.w, c.h);
    const Nv12 b = Convert(turned, 3, c.w, c.h);
    for (uint32_t y = 0; y < c.h; ++y) {
      for (uint32_t x = 0; x < c.w; ++x) {
        ASSERT_EQ(a.Y(x, y), b.Y(x, y)) << c.sw << ": " << x << "," << y;
        ASSERT_EQ(a.U(x, y), b.U(x, y)) << c.sw << ": " << x << "," << y;
        ASSERT_EQ(a.V(x, y), b.V(x, y)) << c.sw << ": " << x << "," << y;
      }
    }
  }
}

// The filter written out per output pixel: weights out of 256 along each axis of the
// turned picture, box when shrinking, bilinear when growing.
std::vector<std::pair<uint32_t, int>> ReferenceTaps(uint32_t in, uint32_t out, uint32_t o) {
  if (in == out) return {{o, 256}};
  if (out < in) {
    const uint32_t i0 = static_cast<uint32_t>(uint64_t{o} * in / out);
    const uint32_t count = std::max(i0 + 1, static_cast<uint32_t>(uint64_t{o + 1} * in / out)) - i0;
    std::vector<std::pair<uint32_t, int>> taps;
    for (uint32_t k = 0; k < count; ++k) taps.push_back({i0 + k, int(256 * (k + 1) / count - 256 * k / count)});
    return taps;
  }
  const int64_t pos = std::clamp<int64_t>(int64_t{2 * o + 1} * in * 256 / (2 * int64_t{out}) - 128, 0,
                                          int64_t{in - 1} * 256);
  const uint32_t i0 = static_cast<uint32_t>(pos >> 8);
  const int f = static_cast<int>(pos & 255);
  return {{i0, 256 - f}, {std::min(i0 + 1, in - 1), f}};
}

Nv12 ReferenceConvert(const std::vector<Rgb>& pixels, uint32_t sw, uint32_t sh, uint32_t rotation, uint32_t w,
                      uint32_t h) {
  const bool quarter = rotation == 2 || rotation == 4;
  const uint32_t rw = quarter ? sh : sw, rh = quarter ? sw : sh;
  auto turned = [&](uint32_t x, uint32_t y) {
    switch (rotation) {
      case 2: return pixels[(sh - 1 - x) * sw + y];
      case 3: return pixels[(sh - 1 - y) * sw + (sw - 1 - x)];
      case 4: return pixels[x * sw + (sw - 1 - y)];
      default: return pixels[y * sw + x];
    }
  };
  std::vector<Rgb> scaled(size_t{w} * h);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      int64_t sum[3] = {0, 0, 0};
      for (const auto& [ry, wy] : ReferenceTaps(rh, h, y)) {
        for (const auto& [rx, wx] : ReferenceTaps(rw, w, x)) {
          const Rgb c = turned(rx, ry);
          sum[0] += int64_t{wy} * wx * c.r, sum[1] += int64_t{wy} * wx * c.g, sum[2] += int64_t{wy} * wx * c.b;
        }
      }
      scaled[size_t{y} * w + x] = {uint8_t((sum[0] + 32768) >> 16), uint8_t((sum[1] + 32768) >> 16),
                                   uint8_t((sum[2] + 32768) >> 16)};
    }
  }
  // The converter's own path for same-size pictures is checked against known values above.
  Bgra flat(w, h);
  flat.Fill([&](uint32_t x, uint32_t y) { return scaled[size_t{y} * w + x]; });
  return Convert(flat, 1, w, h);
}

TEST(CpuNv12Converter, EveryTurnAndScaleMatchesThePerPixelFilter) {
  struct Case {
    uint32_t sw, sh, rotation, w, h;
  };
  // Shrinking by 1.5 and 2, growing, mixed, tails that are not a multiple of the vector
  // width, and sources narrower than one transposed group.
  const Case cases[] = {{192, 108, 1, 128, 72},  {192, 108, 2, 128, 72}, {192, 108, 3, 128, 72},
                        {192, 108, 4, 128, 72},  {108, 192, 2, 128, 72}, {96, 54, 1, 190, 110},
                        {97, 55, 4, 62, 94},     {384, 216, 1, 192, 108}, {37, 23, 2, 18, 40},
                        {7, 5, 3, 10, 6},        {5, 9, 4, 14, 6},        {250, 40, 2, 40, 250}};
  for (const Case& c : cases) {
    std::vector<Rgb> pixels(size_t{c.sw} * c.sh);
    uint32_t seed = c.sw * 31 + c.rotation;
    for (auto& p : pixels) {
      seed = seed * 1664525u + 1013904223u;
      p = {uint8_t(seed >> 24), uint8_t(seed >> 16), uint8_t(seed >> 8)};
    }
    Bgra src(c.sw, c.sh, 20);
    src.Fill([&](uint32_t x, uint32_t y) { return pixels[size_t{y} * c.sw + x]; });
    const Nv12 got = Convert(src, c.rotation, c.w, c.h);
    const Nv12 want = ReferenceConvert(pixels, c.sw, c.sh, c.rotation, c.w, c.h);
    for (uint32_t y = 0; y < c.h; ++y) {
      for (uint32_t x = 0; x < c.w; ++x) {
        ASSERT_EQ(got.Y(x, y), want.Y(x, y)) << c.sw << "x" << c.sh << " r" << c.rotation << " at " << x << "," << y;
        ASSERT_EQ(got.U(x, y), want.U(x, y)) << c.sw << "x" << c.sh << " r" << c.rotation << " at " << x << "," << y;
        ASSERT_EQ(got.V(x, y), want.V(x, y)) << c.sw << "x" << c.sh << " r" << c.rotation << " at " << x << "," << y;
      }
    }
  }
}

TEST(CpuNv12Converter, APreparedConverterTakesANewGeometry) {
  std::vector<Rgb> pixels(64 * 48);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = {uint8_t(i * 7), uint8_t(i * 13), uint8_t(i * 29)};
  Bgra src(64, 48);
  src.Fill([&](uint32_t x, uint32_t y) { return pixels[size_t{y} * 64 + x]; });
  CpuNv12Converter c;
  for (const uint32_t rotation : {2u, 1u, 4u, 3u}) {
    const bool quarter = rotation == 2 || rotation == 4;
    const uint32_t w = quarter ? 24 : 40, h = quarter ? 40 : 24;
    ASSERT_TRUE(c.Prepare(64, 48, static_cast<DisplayRotation>(rotation), w, h));
    Nv12 got(w, h);
    ASSERT_TRUE(c.Convert(src.View(), got.View()));
    const Nv12 want = ReferenceConvert(pixels, 64, 48, rotation, w, h);
    for (uint32_t y = 0; y < h; ++y) {
      for (uint32_t x = 0; x < w; ++x) ASSERT_EQ(got.Y(x, y), want.Y(x, y)) << rotation << " at " << x << "," << y;
    }
  }
}

TEST(CpuNv12Converter, RefusesBadGeometry) {
  CpuNv12Converter c;
  EXPECT_FALSE(c.Prepare(0, 10, DisplayRotation::Identity, 10, 10));
  EXPECT_FALSE(c.Prepare(10, 10, DisplayRotation::Identity, 11, 10));
  EXPECT_FALSE(c.Prepare(10, 10, static_cast<DisplayRotation>(5), 10, 10));
  EXPECT_FALSE(c.Prepare(10, 10, DisplayRotation::Identity, 40000, 10));
  ASSERT_TRUE(c.Prepare(10, 10, DisplayRotation::Identity, 10, 10));
  Bgra src(12, 10);
  Nv12 out(10, 10);
  EXPECT_FALSE(c.Convert(src.View(), out.View()));
  Bgra right(10, 10);
  Nv12 wrong(12, 10);
  EXPECT_FALSE(c.Convert(right.View(), wrong.View()));
  EXPECT_TRUE(c.Convert(right.View(), out.View()));
}

}  // namespace
}  // namespace kelm
