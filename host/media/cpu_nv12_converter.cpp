// CPU BGRA to NV12 conversion with scaling and rotation.
#include "media/cpu_nv12_converter.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kelm {
namespace {

constexpr uint32_t kMaxSide = 16384;

// BT.709 studio range from full-range RGB, in 1/65536 steps.
constexpr double kScaleY = 219.0 / 255.0, kScaleC = 224.0 / 255.0;
constexpr int32_t Fix(double v) { return static_cast<int32_t>(v * 65536.0 + (v < 0 ? -0.5 : 0.5)); }
// Luma in 1/32768 steps, so the weights fit the 16-bit lanes of the vector path.
constexpr int16_t Fix15(double v) { return static_cast<int16_t>(v * 32768.0 + 0.5); }
constexpr int16_t kYR = Fix15(0.2126 * kScaleY), kYG = Fix15(0.7152 * kScaleY), kYB = Fix15(0.0722 * kScaleY);
constexpr int32_t kYOffset = (16 << 15) + (1 << 14);
constexpr int32_t kUR = Fix(-0.2126 / 1.8556 * kScaleC), kUG = Fix(-0.7152 / 1.8556 * kScaleC),
                  kUB = Fix(0.5 * kScaleC);
constexpr int32_t kVR = Fix(0.5 * kScaleC), kVG = Fix(-0.7152 / 1.5748 * kScaleC),
                  kVB = Fix(-0.0722 / 1.5748 * kScaleC);

inline uint8_t Clamp8(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Studio-range results of 8-bit inputs lie in 16..240 by construction, so no clamp.
inline uint8_t Luma(int32_t r, int32_t g, int32_t b) {
  return static_cast<uint8_t>((kYR * r + kYG * g + kYB * b + kYOffset) >> 15);
}

// Luma of one BGRA row; the same arithmetic as Luma(), 16 pixels at a time where SSE2 is there.
void LumaRow(const uint8_t* s, uint8_t* y, uint32_t width) {
  uint32_t x = 0;
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i weights = _mm_setr_epi16(kYB, kYG, kYR, 0, kYB, kYG, kYR, 0);
  const __m128i offset = _mm_set1_epi32(kYOffset);
  auto four = [&](const uint8_t* p) {
    const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i lo = _mm_madd_epi16(_mm_unpacklo_epi8(px, zero), weights);
    const __m128i hi = _mm_madd_epi16(_mm_unpackhi_epi8(px, zero), weights);
    const __m128 a = _mm_castsi128_ps(lo), b = _mm_castsi128_ps(hi);
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(even, odd), offset), 15);
  };
  for (; x + 16 <= width; x += 16) {
    const uint8_t* p = s + size_t{x} * 4;
    const __m128i w0 = _mm_packs_epi32(four(p), four(p + 16));
    const __m128i w1 = _mm_packs_epi32(four(p + 32), four(p + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(y + x), _mm_packus_epi16(w0, w1));
  }
#endif
  for (; x < width; ++x) y[x] = Luma(s[x * 4 + 2], s[x * 4 + 1], s[x * 4]);
}
// Chroma from the sums of a 2x2 block.
inline void Chroma(int32_t r, int32_t g, int32_t b, uint8_t* uv) {
  uv[0] = static_cast<uint8_t>((kUR * r + kUG * g + kUB * b + (128 << 18) + (1 << 17)) >> 18);
  uv[1] = static_cast<uint8_t>((kVR * r + kVG * g + kVB * b + (128 << 18) + (1 << 17)) >> 18);
}

bool IsQuarterTurn(uint32_t rotation) { return rotation == 2 || rotation == 4; }

}  // namespace

bool CpuNv12Converter::Prepare(uint32_t sourceWidth, uint32_t sourceHeight, uint32_t rotation, uint32_t width,
                               uint32_t height) {
  if (sourceWidth == 0 || sourceHeight == 0 || width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0 ||
      sourceWidth > kMaxSide || sourceHeight > kMaxSide || width > kMaxSide || height > kMaxSide || rotation > 4) {
    return false;
  }
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  rotation_ = rotation == 0 ? 1 : rotation;
  width_ = width;
  height_ = height;
  plannedPitch_ = 0;
  const uint32_t rotatedWidth = IsQuarterTurn(rotation_) ? sourceHeight : sourceWidth;
  const uint32_t rotatedHeight = IsQuarterTurn(rotation_) ? sourceWidth : sourceHeight;
  columns_ = PlanAxis(rotatedWidth, width);
  rows_ = PlanAxis(rotatedHeight, height);
  halves_ = rotation_ == 1 && sourceWidth == width * 2 && sourceHeight == height * 2;
  for (auto& line : line_) line.assign(size_t{rotatedWidth} * 3, 0);
  for (auto& rgb : rgb_) rgb.assign(size_t{width} * 3, 0);
  return true;
}

CpuNv12Converter::Taps CpuNv12Converter::PlanAxis(uint32_t in, uint32_t out) {
  Taps t;
  t.first.reserve(out + 1);
  for (uint32_t o = 0; o < out; ++o) {
    t.first.push_back(static_cast<uint32_t>(t.taps.size()));
    if (in == out) {
      t.taps.push_back({o, 256});
    } else if (out < in) {
      // Box: every input that falls inside the output pixel, weighted evenly.
      const uint32_t i0 = static_cast<uint32_t>(uint64_t{o} * in / out);
      const uint32_t i1 = std::max(i0 + 1, static_cast<uint32_t>(uint64_t{o + 1} * in / out));
      const uint32_t count = i1 - i0;
      for (uint32_t k = 0; k < count; ++k) {
        t.taps.push_back({i0 + k, static_cast<int32_t>(256 * (k + 1) / count - 256 * k / count)});
      }
    } else {
      // Bilinear between the two nearest inputs, pixel centres aligned.
      const int64_t pos = std::clamp<int64_t>(int64_t{2 * o + 1} * in * 256 / (2 * int64_t{out}) - 128, 0,
                                              int64_t{in - 1} * 256);
      const uint32_t i0 = static_cast<uint32_t>(pos >> 8);
      const int32_t f = static_cast<int32_t>(pos & 255);
      t.taps.push_back({i0, 256 - f});
      if (f != 0) t.taps.push_back({std::min(i0 + 1, in - 1), f});
    }
    if (t.taps.size() - t.first.back() != 1) t.single = false;
  }
  t.first.push_back(static_cast<uint32_t>(t.taps.size()));
  return t;
}

void CpuNv12Converter::Plan(size_t pitch) {
  const int64_t p = static_cast<int64_t>(pitch);
  const int64_t w = sourceWidth_, h = sourceHeight_;
  // Byte offset of rotated column rx and rotated row ry: origin + index x step.
  int64_t colOrigin = 0, colStep = 4, rowOrigin = 0, rowStep = p;
  switch (rotation_) {
    case 2:  // 90 clockwise: rotated (x, y) reads source (y, h - 1 - x)
      colOrigin = (h - 1) * p, colStep = -p, rowOrigin = 0, rowStep = 4;
      break;
    case 3:
      colOrigin = (w - 1) * 4, colStep = -4, rowOrigin = (h - 1) * p, rowStep = -p;
      break;
    case 4:  // 270 clockwise: rotated (x, y) reads source (w - 1 - y, x)
      colOrigin = 0, colStep = p, rowOrigin = (w - 1) * 4, rowStep = -4;
      break;
    default:
      break;
  }
  const size_t columns = line_[0].size() / 3;
  const size_t rows = IsQuarterTurn(rotation_) ? sourceWidth_ : sourceHeight_;
  columnBytes_.resize(columns);
  for (size_t i = 0; i < columns; ++i) columnBytes_[i] = colOrigin + static_cast<int64_t>(i) * colStep;
  rowBytes_.resize(rows);
  for (size_t i = 0; i < rows; ++i) rowBytes_[i] = rowOrigin + static_cast<int64_t>(i) * rowStep;
  plannedPitch_ = pitch;
}

bool CpuNv12Converter::Convert(const BgraView& source, const Nv12View& target) {
  if (width_ == 0 || source.data == nullptr || target.y == nullptr || target.uv == nullptr ||
      source.width != sourceWidth_ || source.height != sourceHeight_ || source.pitch < size_t{source.width} * 4 ||
      target.width != width_ || target.height != height_ || target.yPitch < width_ || target.uvPitch < width_) {
    return false;
  }
  if (rotation_ == 1 && sourceWidth_ == width_ && sourceHeight_ == height_) return ConvertDirect(source, target);
  if (plannedPitch_ != source.pitch) Plan(source.pitch);
  for (uint32_t row = 0; row < height_; row += 2) ConvertRowPair(source.data, row, target);
  return true;
}

void CpuNv12Converter::ConvertRowPair(const uint8_t* base, uint32_t row, const Nv12View& target) {
  if (halves_) {
    HalveRowPair(base, row);
  } else {
    FilterRowPair(base, row);
  }
  EmitRowPair(row, target);
}

void CpuNv12Converter::HalveRowPair(const uint8_t* base, uint32_t row) {
  // Each output pixel is the rounded mean of a 2x2 source block, as the box filter
  // gives for an exact halving, without the general filter's bookkeeping.
  for (int k = 0; k < 2; ++k) {
    const uint8_t* a = base + rowBytes_[(row + k) * 2];
    const uint8_t* b = base + rowBytes_[(row + k) * 2 + 1];
    uint8_t* rgb = rgb_[k].data();
    for (uint32_t x = 0; x < width_; ++x) {
      const uint8_t* p = a + size_t{x} * 8;
      const uint8_t* q = b + size_t{x} * 8;
      rgb[x * 3] = static_cast<uint8_t>((p[0] + p[4] + q[0] + q[4] + 2) >> 2);
      rgb[x * 3 + 1] = static_cast<uint8_t>((p[1] + p[5] + q[1] + q[5] + 2) >> 2);
      rgb[x * 3 + 2] = static_cast<uint8_t>((p[2] + p[6] + q[2] + q[6] + 2) >> 2);
    }
  }
}

void CpuNv12Converter::FilterRowPair(const uint8_t* base, uint32_t row) {
  const size_t columns = columnBytes_.size();
  for (int k = 0; k < 2; ++k) {
    // Vertical filter into one line of the rotated image (sums out of 256).
    int32_t* line = line_[k].data();
    const uint32_t t0 = rows_.first[row + k], t1 = rows_.first[row + k + 1];
    if (t1 - t0 == 1) {
      const uint8_t* rowBase = base + rowBytes_[rows_.taps[t0].index];
      for (size_t c = 0; c < columns; ++c) {
        const uint8_t* px = rowBase + columnBytes_[c];
        line[c * 3] = px[0] << 8, line[c * 3 + 1] = px[1] << 8, line[c * 3 + 2] = px[2] << 8;
      }
    } else {
      std::fill(line_[k].begin(), line_[k].end(), 0);
      for (uint32_t t = t0; t < t1; ++t) {
        const uint8_t* rowBase = base + rowBytes_[rows_.taps[t].index];
        const int32_t w = rows_.taps[t].weight;
        for (size_t c = 0; c < columns; ++c) {
          const uint8_t* px = rowBase + columnBytes_[c];
          line[c * 3] += w * px[0], line[c * 3 + 1] += w * px[1], line[c * 3 + 2] += w * px[2];
        }
      }
    }
    // Horizontal filter into 8-bit BGR.
    uint8_t* rgb = rgb_[k].data();
    for (uint32_t x = 0; x < width_; ++x) {
      int32_t b = 0, g = 0, r = 0;
      for (uint32_t t = columns_.first[x]; t < columns_.first[x + 1]; ++t) {
        const int32_t* v = line + size_t{columns_.taps[t].index} * 3;
        const int32_t w = columns_.taps[t].weight;
        b += w * v[0], g += w * v[1], r += w * v[2];
      }
      rgb[x * 3] = Clamp8((b + (1 << 15)) >> 16);
      rgb[x * 3 + 1] = Clamp8((g + (1 << 15)) >> 16);
      rgb[x * 3 + 2] = Clamp8((r + (1 << 15)) >> 16);
    }
  }
}

void CpuNv12Converter::EmitRowPair(uint32_t row, const Nv12View& target) {
  uint8_t* y0 = target.y + size_t{row} * target.yPitch;
  uint8_t* y1 = y0 + target.yPitch;
  uint8_t* uv = target.uv + size_t{row / 2} * target.uvPitch;
  const uint8_t* a = rgb_[0].data();
  const uint8_t* b = rgb_[1].data();
  for (uint32_t x = 0; x < width_; x += 2) {
    const uint8_t* p0 = a + x * 3;
    const uint8_t* p1 = b + x * 3;
    y0[x] = Luma(p0[2], p0[1], p0[0]);
    y0[x + 1] = Luma(p0[5], p0[4], p0[3]);
    y1[x] = Luma(p1[2], p1[1], p1[0]);
    y1[x + 1] = Luma(p1[5], p1[4], p1[3]);
    Chroma(p0[2] + p0[5] + p1[2] + p1[5], p0[1] + p0[4] + p1[1] + p1[4], p0[0] + p0[3] + p1[0] + p1[3], uv + x);
  }
}

bool CpuNv12Converter::ConvertDirect(const BgraView& source, const Nv12View& target) {
  // Luma and chroma in separate simple loops, which the compiler vectorises.
  for (uint32_t row = 0; row < height_; ++row) {
    const uint8_t* s = source.data + size_t{row} * source.pitch;
    uint8_t* y = target.y + size_t{row} * target.yPitch;
    LumaRow(s, y, width_);
  }
  for (uint32_t row = 0; row < height_; row += 2) {
    const uint8_t* a = source.data + size_t{row} * source.pitch;
    const uint8_t* b = a + source.pitch;
    uint8_t* uv = target.uv + size_t{row / 2} * target.uvPitch;
    for (uint32_t x = 0; x < width_ / 2; ++x) {
      const uint8_t* p = a + size_t{x} * 8;
      const uint8_t* q = b + size_t{x} * 8;
      const int32_t bs = p[0] + p[4] + q[0] + q[4];
      const int32_t gs = p[1] + p[5] + q[1] + q[5];
      const int32_t rs = p[2] + p[6] + q[2] + q[6];
      Chroma(rs, gs, bs, uv + size_t{x} * 2);
    }
  }
  return true;
}

}  // namespace kelm
