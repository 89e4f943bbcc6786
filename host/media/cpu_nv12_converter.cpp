// CPU BGRA to NV12 conversion with scaling and rotation.
#include "media/cpu_nv12_converter.h"

#include <algorithm>
#include <cstring>

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


// Chroma of one row pair of BGRA pixels (width even); the same arithmetic as Chroma(),
// four 2x2 blocks at a time where SSE2 is there (the weights and block sums fit 16 bits).
void ChromaRows(const uint8_t* a, const uint8_t* b, uint8_t* uv, uint32_t width) {
  uint32_t x = 0;
#if defined(__SSE2__)
  static_assert(kUR >= -32768 && kUG >= -32768 && kUB <= 32767 && kVR <= 32767 && kVG >= -32768 && kVB >= -32768);
  const __m128i zero = _mm_setzero_si128();
  const __m128i weightsU = _mm_setr_epi16(static_cast<int16_t>(kUB), static_cast<int16_t>(kUG),
                                          static_cast<int16_t>(kUR), 0, static_cast<int16_t>(kUB),
                                          static_cast<int16_t>(kUG), static_cast<int16_t>(kUR), 0);
  const __m128i weightsV = _mm_setr_epi16(static_cast<int16_t>(kVB), static_cast<int16_t>(kVG),
                                          static_cast<int16_t>(kVR), 0, static_cast<int16_t>(kVB),
                                          static_cast<int16_t>(kVG), static_cast<int16_t>(kVR), 0);
  const __m128i offset = _mm_set1_epi32((128 << 18) + (1 << 17));
  // Two pixels of each row summed into one block's B, G, R, A (low four lanes).
  auto block = [&](__m128i top, __m128i bottom) {
    const __m128i column = _mm_add_epi16(top, bottom);
    return _mm_add_epi16(column, _mm_srli_si128(column, 8));
  };
  auto weigh = [&](__m128i blocks01, __m128i blocks23, __m128i weights) {
    const __m128 p = _mm_castsi128_ps(_mm_madd_epi16(blocks01, weights));
    const __m128 q = _mm_castsi128_ps(_mm_madd_epi16(blocks23, weights));
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(p, q, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(p, q, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(even, odd), offset), 18);
  };
  for (; x + 8 <= width; x += 8) {
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + size_t{x} * 4));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + size_t{x} * 4 + 16));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + size_t{x} * 4));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + size_t{x} * 4 + 16));
    const __m128i k0 = block(_mm_unpacklo_epi8(a0, zero), _mm_unpacklo_epi8(b0, zero));
    const __m128i k1 = block(_mm_unpackhi_epi8(a0, zero), _mm_unpackhi_epi8(b0, zero));
    const __m128i k2 = block(_mm_unpacklo_epi8(a1, zero), _mm_unpacklo_epi8(b1, zero));
    const __m128i k3 = block(_mm_unpackhi_epi8(a1, zero), _mm_unpackhi_epi8(b1, zero));
    const __m128i blocks01 = _mm_unpacklo_epi64(k0, k1), blocks23 = _mm_unpacklo_epi64(k2, k3);
    const __m128i u = weigh(blocks01, blocks23, weightsU), v = weigh(blocks01, blocks23, weightsV);
    const __m128i uv16 = _mm_packs_epi32(u, v);  // u0..u3, v0..v3
    const __m128i pairs = _mm_unpacklo_epi16(uv16, _mm_srli_si128(uv16, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(uv + x), _mm_packus_epi16(pairs, pairs));
  }
#endif
  for (; x < width; x += 2) {
    const uint8_t* p = a + size_t{x} * 4;
    const uint8_t* q = b + size_t{x} * 4;
    const int32_t bs = p[0] + p[4] + q[0] + q[4];
    const int32_t gs = p[1] + p[5] + q[1] + q[5];
    const int32_t rs = p[2] + p[6] + q[2] + q[6];
    Chroma(rs, gs, bs, uv + x);
  }
}

// `count` (a multiple of 4, at most 16) neighbouring source columns from `column` on, as
// rows of `height` pixels (row k at dst + k * dstPitch); columns past `width` are left
// alone. A whole cache line of each source row at a time: the rows lie a page or more
// apart, so visiting each once per group is what keeps this fast.
void TransposeColumns(const uint8_t* src, size_t srcPitch, uint32_t width, uint32_t height, uint32_t column,
                      uint32_t count, uint8_t* dst, size_t dstPitch) {
  uint32_t y = 0;
  const uint8_t* s = src + size_t{column} * 4;
#if defined(__SSE2__)
  if (column + count <= width) {
    for (; y + 4 <= height; y += 4, s += 4 * srcPitch) {
      for (uint32_t k = 0; k < count; k += 4) {
        const uint8_t* q = s + size_t{k} * 4;
        const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + srcPitch));
        const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2 * srcPitch));
        const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 3 * srcPitch));
        const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);
        const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);
        uint8_t* d = dst + k * dstPitch + size_t{y} * 4;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi64(t0, t1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + dstPitch), _mm_unpackhi_epi64(t0, t1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * dstPitch), _mm_unpacklo_epi64(t2, t3));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 3 * dstPitch), _mm_unpackhi_epi64(t2, t3));
      }
    }
  }
#endif
  const uint32_t present = std::min(count, width - column);
  for (; y < height; ++y, s += srcPitch) {
    for (uint32_t k = 0; k < present; ++k) std::memcpy(dst + k * dstPitch + size_t{y} * 4, s + size_t{k} * 4, 4);
  }
}

}  // namespace

bool CpuNv12Converter::Prepare(uint32_t sourceWidth, uint32_t sourceHeight, DisplayRotation rotation, uint32_t width,
                               uint32_t height) {
  if (sourceWidth == 0 || sourceHeight == 0 || width < 2 || height < 2 || width % 2 != 0 || height % 2 != 0 ||
      sourceWidth > kMaxSide || sourceHeight > kMaxSide || width > kMaxSide || height > kMaxSide ||
      rotation > DisplayRotation::Rotate270) {
    return false;
  }
  sourceWidth_ = sourceWidth;
  sourceHeight_ = sourceHeight;
  rotation_ = rotation == DisplayRotation::Unspecified ? DisplayRotation::Identity : rotation;
  width_ = width;
  height_ = height;
  transpose_ = IsQuarterTurn(rotation_);
  orientedWidth_ = transpose_ ? sourceHeight : sourceWidth;
  const uint32_t orientedHeight = transpose_ ? sourceWidth : sourceHeight;
  // Against the transposed image a turn by 90 reads its columns backwards, one by 270
  // its rows; a half turn reads the source both ways backwards.
  const bool flipColumns = rotation_ == DisplayRotation::Rotate90 || rotation_ == DisplayRotation::Rotate180;
  const bool flipRows = rotation_ == DisplayRotation::Rotate180 || rotation_ == DisplayRotation::Rotate270;
  columns_ = PlanAxis(orientedWidth_, width, flipColumns);
  rows_ = PlanAxis(orientedHeight, height, flipRows);
  PlanPairs();
  turnedPitch_ = size_t{orientedWidth_} * 4;
  turned_.assign(transpose_ ? kTurnedGroups * kTurnedColumns * turnedPitch_ : 0, 0);
  turnedGroups_.fill(kNoGroup);
  // Padded by a pixel so the last taps may load 8 bytes.
  line_.assign(size_t{orientedWidth_} * 4 + 4, 0);
  for (auto& row : bgra_) row.assign(size_t{width} * 4, 0);
  return true;
}

CpuNv12Converter::Taps CpuNv12Converter::PlanAxis(uint32_t in, uint32_t out, bool flip) {
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
  }
  t.first.push_back(static_cast<uint32_t>(t.taps.size()));
  if (flip) {
    for (Tap& tap : t.taps) tap.index = in - 1 - tap.index;
  }
  return t;
}

void CpuNv12Converter::PlanPairs() {
  pairsFirst_.clear();
  pairs_.clear();
  pairsFirst_.reserve(width_ + 1);
  for (uint32_t x = 0; x < width_; ++x) {
    pairsFirst_.push_back(static_cast<uint32_t>(pairs_.size()));
    for (uint32_t t = columns_.first[x]; t < columns_.first[x + 1]; t += 2) {
      TapPair pair{};
      for (uint32_t k = 0; k < 2; ++k) {
        // An odd tap count leaves the second weight 0, reading the first tap again.
        const Tap& tap = columns_.taps[t + k < columns_.first[x + 1] ? t + k : t];
        const uint16_t weight = t + k < columns_.first[x + 1] ? static_cast<uint16_t>(tap.weight) : 0;
        for (int lane = 0; lane < 4; ++lane) pair.weights[lane * 2 + k] = weight;
        pair.offsets[k] = tap.index * 4;
      }
      pairs_.push_back(pair);
    }
  }
  pairsFirst_.push_back(static_cast<uint32_t>(pairs_.size()));
}

bool CpuNv12Converter::Convert(const BgraView& source, const Nv12View& target) {
  if (width_ == 0 || source.data == nullptr || target.y == nullptr || target.uv == nullptr ||
      source.width != sourceWidth_ || source.height != sourceHeight_ || source.pitch < size_t{source.width} * 4 ||
      target.width != width_ || target.height != height_ || target.yPitch < width_ || target.uvPitch < width_) {
    return false;
  }
  if (rotation_ == DisplayRotation::Identity && sourceWidth_ == width_ && sourceHeight_ == height_) return ConvertDirect(source, target);
  turnedGroups_.fill(kNoGroup);
  for (uint32_t row = 0; row < height_; row += 2) {
    FilterRow(source, row, bgra_[0].data());
    FilterRow(source, row + 1, bgra_[1].data());
    EmitRowPair(row, target);
  }
  return true;
}

const uint8_t* CpuNv12Converter::OrientedRow(const BgraView& source, uint32_t index) {
  if (!transpose_) return source.data + size_t{index} * source.pitch;
  // Rows of a quarter turn are source columns, transposed a group at a time into a few
  // slots as the taps move along; each group is made about once per picture.
  const uint32_t group = index / kTurnedColumns;
  const size_t slot = group % kTurnedGroups;
  uint8_t* rows = turned_.data() + slot * kTurnedColumns * turnedPitch_;
  if (turnedGroups_[slot] != group) {
    TransposeColumns(source.data, source.pitch, sourceWidth_, sourceHeight_, group * kTurnedColumns, kTurnedColumns,
                     rows, turnedPitch_);
    turnedGroups_[slot] = group;
  }
  return rows + (index % kTurnedColumns) * turnedPitch_;
}

// One output row of BGRA: the rows' taps summed into 16-bit lanes (256 x 255 at most,
// since the weights of one output add up to 256), then the columns' taps.
void CpuNv12Converter::FilterRow(const BgraView& source, uint32_t row, uint8_t* bgra) {
  const size_t lanes = size_t{orientedWidth_} * 4;
  uint16_t* line = line_.data();
  const uint32_t t0 = rows_.first[row], t1 = rows_.first[row + 1];
  for (uint32_t t = t0; t < t1; ++t) {
    const uint8_t* src = OrientedRow(source, rows_.taps[t].index);
    const uint16_t w = static_cast<uint16_t>(rows_.taps[t].weight);
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i weight = _mm_set1_epi16(static_cast<int16_t>(w));
    for (; i + 16 <= lanes; i += 16) {
      const __m128i px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
      __m128i lo = _mm_mullo_epi16(_mm_unpacklo_epi8(px, zero), weight);
      __m128i hi = _mm_mullo_epi16(_mm_unpackhi_epi8(px, zero), weight);
      if (t != t0) {
        lo = _mm_add_epi16(lo, _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i)));
        hi = _mm_add_epi16(hi, _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + i + 8)));
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(line + i), lo);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(line + i + 8), hi);
    }
#endif
    for (; i < lanes; ++i) {
      const uint16_t v = static_cast<uint16_t>(src[i] * w);
      line[i] = t == t0 ? v : static_cast<uint16_t>(line[i] + v);
    }
  }
  uint32_t x = 0;
#if defined(__SSE2__)
  // Lanes are taken as v - 32768 so that they fit signed 16 bits for madd (tap 0 and
  // tap 1 of each channel side by side); the weights of an output add up to 256, so
  // 256 x 32768 comes back with the rounding.
  const __m128i bias = _mm_set1_epi16(static_cast<int16_t>(0x8000));
  const __m128i round = _mm_set1_epi32((256 << 15) + (1 << 15));
  auto weigh = [&](const TapPair& pair) {
    const __m128i v0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + pair.offsets[0]));
    const __m128i v1 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(line + pair.offsets[1]));
    const __m128i v = _mm_xor_si128(_mm_unpacklo_epi16(v0, v1), bias);
    return _mm_madd_epi16(v, _mm_load_si128(reinterpret_cast<const __m128i*>(pair.weights)));
  };
  auto pixel = [&](uint32_t at) {
    __m128i acc = round;
    for (uint32_t p = pairsFirst_[at]; p < pairsFirst_[at + 1]; ++p) acc = _mm_add_epi32(acc, weigh(pairs_[p]));
    return _mm_srai_epi32(acc, 16);
  };
  // At most two taps per output, the usual case: one pair each, in output order.
  auto single = [&](uint32_t at) { return _mm_srai_epi32(_mm_add_epi32(round, weigh(pairs_[at])), 16); };
  if (pairs_.size() == width_) {
    for (; x + 4 <= width_; x += 4) {
      const __m128i a = _mm_packs_epi32(single(x), single(x + 1));
      const __m128i b = _mm_packs_epi32(single(x + 2), single(x + 3));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(bgra + size_t{x} * 4), _mm_packus_epi16(a, b));
    }
  }
  for (; x + 4 <= width_; x += 4) {
    const __m128i a = _mm_packs_epi32(pixel(x), pixel(x + 1));
    const __m128i b = _mm_packs_epi32(pixel(x + 2), pixel(x + 3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bgra + size_t{x} * 4), _mm_packus_epi16(a, b));
  }
#endif
  for (; x < width_; ++x) {
    uint32_t sum[4] = {0, 0, 0, 0};
    for (uint32_t p = pairsFirst_[x]; p < pairsFirst_[x + 1]; ++p) {
      const TapPair& pair = pairs_[p];
      for (int k = 0; k < 2; ++k) {
        for (int lane = 0; lane < 4; ++lane) {
          sum[lane] += uint32_t{pair.weights[lane * 2 + k]} * line[pair.offsets[k] + lane];
        }
      }
    }
    for (int lane = 0; lane < 4; ++lane) {
      bgra[size_t{x} * 4 + lane] = Clamp8(static_cast<int32_t>((sum[lane] + (1 << 15)) >> 16));
    }
  }
}

void CpuNv12Converter::EmitRowPair(uint32_t row, const Nv12View& target) {
  uint8_t* y0 = target.y + size_t{row} * target.yPitch;
  LumaRow(bgra_[0].data(), y0, width_);
  LumaRow(bgra_[1].data(), y0 + target.yPitch, width_);
  ChromaRows(bgra_[0].data(), bgra_[1].data(), target.uv + size_t{row / 2} * target.uvPitch, width_);
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
    ChromaRows(a, a + source.pitch, target.uv + size_t{row / 2} * target.uvPitch, width_);
  }
  return true;
}

}  // namespace kelm
