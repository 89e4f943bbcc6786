// QR code encoder (model 2, versions 1-40): segment, error correction, module placement
// and mask choice, and the SVG markup of the finished symbol.
#include "app/qr_code.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <span>

namespace kelm {
namespace {

constexpr int kLevels = 4;

// Per version and level (L, M, Q, H): error-correction codewords in each block and the
// number of blocks. The data codewords are what the version's raw codewords leave; they
// split as evenly as they can, the longer blocks last.
struct BlockShape {
  uint8_t ecPerBlock;
  uint8_t blocks;
};
constexpr std::array<std::array<BlockShape, kLevels>, QrCode::kMaxVersion + 1> kBlocks{{
    {},
    {{{7, 1}, {10, 1}, {13, 1}, {17, 1}}},
    {{{10, 1}, {16, 1}, {22, 1}, {28, 1}}},
    {{{15, 1}, {26, 1}, {18, 2}, {22, 2}}},
    {{{20, 1}, {18, 2}, {26, 2}, {16, 4}}},
    {{{26, 1}, {24, 2}, {18, 4}, {22, 4}}},
    {{{18, 2}, {16, 4}, {24, 4}, {28, 4}}},
    {{{20, 2}, {18, 4}, {18, 6}, {26, 5}}},
    {{{24, 2}, {22, 4}, {22, 6}, {26, 6}}},
    {{{30, 2}, {22, 5}, {20, 8}, {24, 8}}},
    {{{18, 4}, {26, 5}, {24, 8}, {28, 8}}},
    {{{20, 4}, {30, 5}, {28, 8}, {24, 11}}},
    {{{24, 4}, {22, 8}, {26, 10}, {28, 11}}},
    {{{26, 4}, {22, 9}, {24, 12}, {22, 16}}},
    {{{30, 4}, {24, 9}, {20, 16}, {24, 16}}},
    {{{22, 6}, {24, 10}, {30, 12}, {24, 18}}},
    {{{24, 6}, {28, 10}, {24, 17}, {30, 16}}},
    {{{28, 6}, {28, 11}, {28, 16}, {28, 19}}},
    {{{30, 6}, {26, 13}, {28, 18}, {28, 21}}},
    {{{28, 7}, {26, 14}, {26, 21}, {26, 25}}},
    {{{28, 8}, {26, 16}, {30, 20}, {28, 25}}},
    {{{28, 8}, {26, 17}, {28, 23}, {30, 25}}},
    {{{28, 9}, {28, 17}, {30, 23}, {24, 34}}},
    {{{30, 9}, {28, 18}, {30, 25}, {30, 30}}},
    {{{30, 10}, {28, 20}, {30, 27}, {30, 32}}},
    {{{26, 12}, {28, 21}, {30, 29}, {30, 35}}},
    {{{28, 12}, {28, 23}, {28, 34}, {30, 37}}},
    {{{30, 12}, {28, 25}, {30, 34}, {30, 40}}},
    {{{30, 13}, {28, 26}, {30, 35}, {30, 42}}},
    {{{30, 14}, {28, 28}, {30, 38}, {30, 45}}},
    {{{30, 15}, {28, 29}, {30, 40}, {30, 48}}},
    {{{30, 16}, {28, 31}, {30, 43}, {30, 51}}},
    {{{30, 17}, {28, 33}, {30, 45}, {30, 54}}},
    {{{30, 18}, {28, 35}, {30, 48}, {30, 57}}},
    {{{30, 19}, {28, 37}, {30, 51}, {30, 60}}},
    {{{30, 19}, {28, 38}, {30, 53}, {30, 63}}},
    {{{30, 20}, {28, 40}, {30, 56}, {30, 66}}},
    {{{30, 21}, {28, 43}, {30, 59}, {30, 70}}},
    {{{30, 22}, {28, 45}, {30, 62}, {30, 74}}},
    {{{30, 24}, {28, 47}, {30, 65}, {30, 77}}},
    {{{30, 25}, {28, 49}, {30, 68}, {30, 81}}},
}};

// Row/column coordinates of the alignment pattern centres per version (none for 1).
constexpr std::array<std::array<uint8_t, 7>, QrCode::kMaxVersion + 1> kAlignment{{
    {},
    {},
    {6, 18},
    {6, 22},
    {6, 26},
    {6, 30},
    {6, 34},
    {6, 22, 38},
    {6, 24, 42},
    {6, 26, 46},
    {6, 28, 50},
    {6, 30, 54},
    {6, 32, 58},
    {6, 34, 62},
    {6, 26, 46, 66},
    {6, 26, 48, 70},
    {6, 26, 50, 74},
    {6, 30, 54, 78},
    {6, 30, 56, 82},
    {6, 30, 58, 86},
    {6, 34, 62, 90},
    {6, 28, 50, 72, 94},
    {6, 26, 50, 74, 98},
    {6, 30, 54, 78, 102},
    {6, 28, 54, 80, 106},
    {6, 32, 58, 84, 110},
    {6, 30, 58, 86, 114},
    {6, 34, 62, 90, 118},
    {6, 26, 50, 74, 98, 122},
    {6, 30, 54, 78, 102, 126},
    {6, 26, 52, 78, 104, 130},
    {6, 30, 56, 82, 108, 134},
    {6, 34, 60, 86, 112, 138},
    {6, 30, 58, 86, 114, 142},
    {6, 34, 62, 90, 118, 146},
    {6, 30, 54, 78, 102, 126, 150},
    {6, 24, 50, 76, 102, 128, 154},
    {6, 28, 54, 80, 106, 132, 158},
    {6, 32, 58, 84, 110, 136, 162},
    {6, 26, 54, 82, 110, 138, 166},
    {6, 30, 58, 86, 114, 142, 170},
}};

int AlignmentCount(int version) { return version == 1 ? 0 : version / 7 + 2; }

// Modules left for data and error correction once the function patterns are placed:
// finders with separators, format areas and the dark module, timing lines, alignment
// patterns (less the timing modules they cover) and, from version 7, version areas.
int RawDataModules(int version) {
  const int size = version * 4 + 17;
  const int n = AlignmentCount(version);
  int modules = size * size - 3 * 64 - 31 - 2 * (size - 16);
  if (n > 0) modules -= 25 * (n * n - 3) - 10 * (n - 2);
  if (version >= 7) modules -= 36;
  return modules;
}

int DataCodewords(int version, QrEcc ecc) {
  const BlockShape shape = kBlocks[static_cast<size_t>(version)][static_cast<size_t>(ecc)];
  return RawDataModules(version) / 8 - shape.ecPerBlock * shape.blocks;
}

// The two bits of each level in the format information.
constexpr std::array<int, kLevels> kFormatLevelBits{1, 0, 3, 2};
// BCH generators of the format (15,5) and version (18,6) codes, and the format mask.
constexpr int kFormatGenerator = 0x537;
constexpr int kFormatMask = 0x5412;
constexpr int kVersionGenerator = 0x1F25;
// Pad codewords after the data, alternating.
constexpr uint8_t kPadFirst = 0xEC;
constexpr uint8_t kPadSecond = 0x11;

// ---- GF(256) over x^8 + x^4 + x^3 + x^2 + 1, and Reed-Solomon remainders ----

struct Galois {
  std::array<uint8_t, 512> exp{};
  std::array<int, 256> log{};
  constexpr Galois() {
    int x = 1;
    for (int i = 0; i < 255; ++i) {
      exp[static_cast<size_t>(i)] = static_cast<uint8_t>(x);
      log[static_cast<size_t>(x)] = i;
      x <<= 1;
      if (x & 0x100) x ^= 0x11D;
    }
    for (int i = 255; i < 512; ++i) exp[static_cast<size_t>(i)] = exp[static_cast<size_t>(i - 255)];
  }
  constexpr uint8_t Multiply(uint8_t a, uint8_t b) const {
    if (a == 0 || b == 0) return 0;
    return exp[static_cast<size_t>(log[a] + log[b])];
  }
};
constexpr Galois kGf;

// Coefficients of (x - a^0)(x - a^1)...(x - a^(degree-1)) without the leading 1,
// highest power first.
std::vector<uint8_t> GeneratorPolynomial(int degree) {
  std::vector<uint8_t> g(static_cast<size_t>(degree), 0);
  g[static_cast<size_t>(degree - 1)] = 1;  // the polynomial 1, its leading term implied
  uint8_t root = 1;
  for (int i = 0; i < degree; ++i) {
    // Multiply by (x - root): each coefficient takes the next one and adds its own times root.
    for (size_t j = 0; j < g.size(); ++j) {
      g[j] = kGf.Multiply(g[j], root);
      if (j + 1 < g.size()) g[j] ^= g[j + 1];
    }
    root = kGf.Multiply(root, 2);
  }
  return g;
}

void Remainder(std::span<const uint8_t> data, std::span<const uint8_t> generator, std::span<uint8_t> out) {
  std::fill(out.begin(), out.end(), 0);
  for (const uint8_t b : data) {
    const uint8_t factor = static_cast<uint8_t>(b ^ out[0]);
    std::copy(out.begin() + 1, out.end(), out.begin());
    out.back() = 0;
    if (factor == 0) continue;
    const int logFactor = kGf.log[factor];
    for (size_t i = 0; i < out.size(); ++i) {
      if (generator[i] != 0) out[i] ^= kGf.exp[static_cast<size_t>(kGf.log[generator[i]] + logFactor)];
    }
  }
}

// ---- Segment ----

enum class Mode { Numeric, Alphanumeric, Byte };

constexpr std::string_view kAlphanumeric = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:";

int AlphanumericValue(char c) {
  const size_t at = kAlphanumeric.find(c);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

Mode ModeOf(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return Mode::Numeric;
  if (std::all_of(text.begin(), text.end(), [](char c) { return AlphanumericValue(c) >= 0; }))
    return Mode::Alphanumeric;
  return Mode::Byte;
}

int CountBits(Mode mode, int version) {
  const int group = version <= 9 ? 0 : version <= 26 ? 1 : 2;
  static constexpr int kBits[3][3] = {{10, 12, 14}, {9, 11, 13}, {8, 16, 16}};
  return kBits[static_cast<int>(mode)][group];
}

int ModeIndicator(Mode mode) {
  static constexpr int kIndicators[3] = {0x1, 0x2, 0x4};
  return kIndicators[static_cast<int>(mode)];
}

// Bits of the segment's data after its header.
int64_t PayloadBits(Mode mode, int64_t length) {
  switch (mode) {
    case Mode::Numeric:
      return length / 3 * 10 + (length % 3 == 2 ? 7 : length % 3 == 1 ? 4 : 0);
    case Mode::Alphanumeric:
      return length / 2 * 11 + (length % 2) * 6;
    case Mode::Byte:
      return length * 8;
  }
  return 0;
}

class BitWriter {
 public:
  explicit BitWriter(size_t capacityBytes) { bytes_.reserve(capacityBytes); }
  void Append(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (bits_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (bits_ % 8));
      ++bits_;
    }
  }
  size_t Bits() const { return bits_; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t bits_ = 0;
};

void AppendPayload(BitWriter& out, Mode mode, std::string_view text) {
  switch (mode) {
    case Mode::Numeric:
      for (size_t i = 0; i < text.size(); i += 3) {
        const size_t n = std::min<size_t>(3, text.size() - i);
        uint32_t value = 0;
        for (size_t j = 0; j < n; ++j) value = value * 10 + static_cast<uint32_t>(text[i + j] - '0');
        out.Append(value, static_cast<int>(n * 3 + 1));
      }
      break;
    case Mode::Alphanumeric:
      for (size_t i = 0; i < text.size(); i += 2) {
        if (i + 1 < text.size()) {
          out.Append(static_cast<uint32_t>(AlphanumericValue(text[i]) * 45 + AlphanumericValue(text[i + 1])), 11);
        } else {
          out.Append(static_cast<uint32_t>(AlphanumericValue(text[i])), 6);
        }
      }
      break;
    case Mode::Byte:
      for (const char c : text) out.Append(static_cast<uint8_t>(c), 8);
      break;
  }
}

// ---- Module matrix ----

class Matrix {
 public:
  explicit Matrix(int version)
      : version_(version),
        size_(version * 4 + 17),
        dark_(static_cast<size_t>(size_ * size_), 0),
        function_(static_cast<size_t>(size_ * size_), 0) {}

  int Size() const { return size_; }
  std::vector<uint8_t>& Modules() { return dark_; }

  void DrawFunctionPatterns() {
    for (int i = 0; i < size_; ++i) {
      SetFunction(6, i, i % 2 == 0);
      SetFunction(i, 6, i % 2 == 0);
    }
    DrawFinder(3, 3);
    DrawFinder(size_ - 4, 3);
    DrawFinder(3, size_ - 4);
    const int n = AlignmentCount(version_);
    const auto& centres = kAlignment[static_cast<size_t>(version_)];
    for (int i = 0; i < n; ++i) {
      for (int j = 0; j < n; ++j) {
        const bool finderCorner = (i == 0 && j == 0) || (i == 0 && j == n - 1) || (i == n - 1 && j == 0);
        if (!finderCorner) DrawAlignment(centres[static_cast<size_t>(i)], centres[static_cast<size_t>(j)]);
      }
    }
    DrawFormatBits(0);  // reserves the areas; drawn again for each mask
    DrawVersionBits();
  }

  // Codeword bits, most significant first, up and down the two-column strips from the
  // right (skipping the vertical timing column); remainder modules stay light.
  void PlaceCodewords(std::span<const uint8_t> codewords) {
    const size_t totalBits = codewords.size() * 8;
    size_t bit = 0;
    for (int right = size_ - 1; right >= 1; right -= 2) {
      if (right == 6) right = 5;
      const bool upward = ((right + 1) & 2) == 0;
      for (int step = 0; step < size_; ++step) {
        const int y = upward ? size_ - 1 - step : step;
        for (int j = 0; j < 2; ++j) {
          const int x = right - j;
          const size_t at = Index(x, y);
          if (function_[at] || bit >= totalBits) continue;
          dark_[at] = (codewords[bit >> 3] >> (7 - (bit & 7))) & 1;
          ++bit;
        }
      }
    }
  }

  // XORs the mask over the data modules (twice undoes it).
  void ApplyMask(int mask) {
    for (int y = 0; y < size_; ++y) {
      for (int x = 0; x < size_; ++x) {
        bool invert = false;
        switch (mask) {
          case 0: invert = (x + y) % 2 == 0; break;
          case 1: invert = y % 2 == 0; break;
          case 2: invert = x % 3 == 0; break;
          case 3: invert = (x + y) % 3 == 0; break;
          case 4: invert = (x / 3 + y / 2) % 2 == 0; break;
          case 5: invert = x * y % 2 + x * y % 3 == 0; break;
          case 6: invert = (x * y % 2 + x * y % 3) % 2 == 0; break;
          default: invert = ((x + y) % 2 + x * y % 3) % 2 == 0; break;
        }
        const size_t at = Index(x, y);
        if (invert && !function_[at]) dark_[at] ^= 1;
      }
    }
  }

  // Level and mask, BCH(15,5) protected and XORed with 101010000010010, twice:
  // around the top-left finder, and split below the top-right and right of the
  // bottom-left finder beside the always-dark module.
  void DrawFormatBits(int formatData) {
    int remainder = formatData;
    for (int i = 0; i < 10; ++i) remainder = (remainder << 1) ^ ((remainder >> 9) * kFormatGenerator);
    const int bits = ((formatData << 10) | remainder) ^ kFormatMask;
    auto bitAt = [bits](int i) { return ((bits >> i) & 1) != 0; };
    for (int i = 0; i <= 5; ++i) SetFunction(8, i, bitAt(i));
    SetFunction(8, 7, bitAt(6));
    SetFunction(8, 8, bitAt(7));
    SetFunction(7, 8, bitAt(8));
    for (int i = 9; i < 15; ++i) SetFunction(14 - i, 8, bitAt(i));
    for (int i = 0; i < 8; ++i) SetFunction(size_ - 1 - i, 8, bitAt(i));
    for (int i = 8; i < 15; ++i) SetFunction(8, size_ - 15 + i, bitAt(i));
    SetFunction(8, size_ - 8, true);
  }

  // The mask's penalty by the four rules: runs of five or more of one colour in a row or
  // column, 2x2 blocks of one colour, finder-like 1:1:3:1:1 runs with four light
  // modules on a side (the space outside the symbol counts as light), and the dark share's
  // distance from half in 5 % steps.
  long Penalty() const {
    long penalty = 0;
    std::vector<int> runs;
    runs.reserve(static_cast<size_t>(size_) + 2);
    for (int line = 0; line < size_; ++line) {
      penalty += LinePenalty(line, true, runs);
      penalty += LinePenalty(line, false, runs);
    }
    for (int y = 0; y + 1 < size_; ++y) {
      const uint8_t* top = &dark_[Index(0, y)];
      const uint8_t* bottom = top + size_;
      for (int x = 0; x + 1 < size_; ++x) {
        const uint8_t c = top[x];
        if (c == top[x + 1] && c == bottom[x] && c == bottom[x + 1]) penalty += 3;
      }
    }
    long dark = 0;
    for (const uint8_t m : dark_) dark += m;
    const long total = static_cast<long>(size_) * size_;
    const long k = (std::labs(dark * 20 - total * 10) + total - 1) / total - 1;
    penalty += k * 10;
    return penalty;
  }

 private:
  size_t Index(int x, int y) const { return static_cast<size_t>(y * size_ + x); }

  void SetFunction(int x, int y, bool dark) {
    const size_t at = Index(x, y);
    dark_[at] = dark ? 1 : 0;
    function_[at] = 1;
  }

  // The 7x7 finder with its light separator, clipped at the symbol's edge.
  void DrawFinder(int cx, int cy) {
    for (int dy = -4; dy <= 4; ++dy) {
      for (int dx = -4; dx <= 4; ++dx) {
        const int x = cx + dx;
        const int y = cy + dy;
        if (x < 0 || y < 0 || x >= size_ || y >= size_) continue;
        const int ring = std::max(std::abs(dx), std::abs(dy));
        SetFunction(x, y, ring != 2 && ring != 4);
      }
    }
  }

  void DrawAlignment(int cx, int cy) {
    for (int dy = -2; dy <= 2; ++dy) {
      for (int dx = -2; dx <= 2; ++dx) SetFunction(cx + dx, cy + dy, std::max(std::abs(dx), std::abs(dy)) != 1);
    }
  }

  // From version 7: the version number, BCH(18,6) protected, in the 6x3 blocks beside
  // the top-right and bottom-left finders.
  void DrawVersionBits() {
    if (version_ < 7) return;
    int remainder = version_;
    for (int i = 0; i < 12; ++i) remainder = (remainder << 1) ^ ((remainder >> 11) * kVersionGenerator);
    const long bits = (static_cast<long>(version_) << 12) | remainder;
    for (int i = 0; i < 18; ++i) {
      const bool dark = ((bits >> i) & 1) != 0;
      const int a = size_ - 11 + i % 3;
      const int b = i / 3;
      SetFunction(a, b, dark);
      SetFunction(b, a, dark);
    }
  }

  // Rules 1 and 3 over one row (or column).
  long LinePenalty(int line, bool row, std::vector<int>& runs) const {
    // Run lengths, alternating colours, starting and ending with light; the outer light
    // runs reach into the unbounded space around the symbol.
    constexpr int kOutside = 1 << 20;
    runs.clear();
    runs.push_back(kOutside);
    uint8_t colour = 0;
    long penalty = 0;
    const size_t stride = row ? 1 : static_cast<size_t>(size_);
    const uint8_t* cell = row ? &dark_[Index(0, line)] : &dark_[Index(line, 0)];
    int sameRun = 0;
    uint8_t sameColour = 2;
    for (int i = 0; i < size_; ++i, cell += stride) {
      const uint8_t m = *cell;
      if (m == sameColour) {
        ++sameRun;
        if (sameRun == 5) {
          penalty += 3;
        } else if (sameRun > 5) {
          ++penalty;
        }
      } else {
        sameColour = m;
        sameRun = 1;
      }
      if (m == colour) {
        ++runs.back();
      } else {
        colour = m;
        runs.push_back(1);
      }
    }
    if (colour == 1) {
      runs.push_back(kOutside);
    } else {
      runs.back() += kOutside;
    }
    for (size_t k = 1; k + 5 < runs.size(); k += 2) {
      const int n = runs[k];
      if (runs[k + 1] != n || runs[k + 2] != 3 * n || runs[k + 3] != n || runs[k + 4] != n) continue;
      const int before = runs[k - 1];
      const int after = runs[k + 5];
      if (before >= 4 * n && after >= n) penalty += 40;
      if (after >= 4 * n && before >= n) penalty += 40;
    }
    return penalty;
  }

  int version_;
  int size_;
  std::vector<uint8_t> dark_;
  std::vector<uint8_t> function_;
};

// Data codewords split into blocks, each followed by its error correction, read out
// interleaved: the data column by column across the blocks, then the error correction.
std::vector<uint8_t> InterleaveWithErrorCorrection(std::span<const uint8_t> data, int version, QrEcc ecc) {
  const BlockShape shape = kBlocks[static_cast<size_t>(version)][static_cast<size_t>(ecc)];
  const int blocks = shape.blocks;
  const int ecLength = shape.ecPerBlock;
  const int raw = RawDataModules(version) / 8;
  const int shortBlocks = blocks - raw % blocks;
  const int shortData = raw / blocks - ecLength;
  const std::vector<uint8_t> generator = GeneratorPolynomial(ecLength);

  std::vector<uint8_t> ec(static_cast<size_t>(blocks * ecLength));
  std::vector<size_t> starts(static_cast<size_t>(blocks) + 1, 0);
  for (int b = 0; b < blocks; ++b) {
    const size_t length = static_cast<size_t>(shortData + (b >= shortBlocks ? 1 : 0));
    starts[static_cast<size_t>(b) + 1] = starts[static_cast<size_t>(b)] + length;
    Remainder(data.subspan(starts[static_cast<size_t>(b)], length), generator,
              std::span(ec).subspan(static_cast<size_t>(b * ecLength), static_cast<size_t>(ecLength)));
  }

  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(raw));
  for (int i = 0; i <= shortData; ++i) {
    for (int b = 0; b < blocks; ++b) {
      if (i < shortData || b >= shortBlocks) out.push_back(data[starts[static_cast<size_t>(b)] + static_cast<size_t>(i)]);
    }
  }
  for (int i = 0; i < ecLength; ++i) {
    for (int b = 0; b < blocks; ++b) out.push_back(ec[static_cast<size_t>(b * ecLength + i)]);
  }
  return out;
}

void AppendNumber(std::string& out, int value) {
  char buffer[12];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

std::optional<QrCode> QrCode::EncodeText(std::string_view text) {
  const Mode mode = ModeOf(text);
  const auto length = static_cast<int64_t>(text.size());
  // Header and data bits in `version` (none at all for the empty text, which has no
  // segment); -1 when the length does not fit the character count.
  auto usedBits = [&](int version) -> int64_t {
    if (text.empty()) return 0;
    if (length >= (int64_t{1} << CountBits(mode, version))) return -1;
    return 4 + CountBits(mode, version) + PayloadBits(mode, length);
  };

  auto fits = [](int64_t bits, int version, QrEcc ecc) {
    return bits >= 0 && bits <= int64_t{DataCodewords(version, ecc)} * 8;
  };
  int version = kMinVersion;
  while (!fits(usedBits(version), version, QrEcc::Medium)) {
    if (++version > kMaxVersion) return std::nullopt;
  }
  const int64_t bits = usedBits(version);
  QrEcc ecc = QrEcc::Medium;
  for (const QrEcc higher : {QrEcc::Quartile, QrEcc::High}) {
    if (fits(bits, version, higher)) ecc = higher;
  }

  const int capacityBits = DataCodewords(version, ecc) * 8;
  BitWriter writer(static_cast<size_t>(capacityBits / 8));
  if (!text.empty()) {
    writer.Append(static_cast<uint32_t>(ModeIndicator(mode)), 4);
    writer.Append(static_cast<uint32_t>(length), CountBits(mode, version));
    AppendPayload(writer, mode, text);
  }
  writer.Append(0, std::min(4, capacityBits - static_cast<int>(writer.Bits())));
  writer.Append(0, static_cast<int>((8 - writer.Bits() % 8) % 8));
  for (uint8_t pad = kPadFirst; writer.Bits() < static_cast<size_t>(capacityBits); pad ^= kPadFirst ^ kPadSecond) {
    writer.Append(pad, 8);
  }

  Matrix matrix(version);
  matrix.DrawFunctionPatterns();
  matrix.PlaceCodewords(InterleaveWithErrorCorrection(writer.Bytes(), version, ecc));

  const int levelBits = kFormatLevelBits[static_cast<size_t>(ecc)];
  int bestMask = 0;
  long bestPenalty = -1;
  for (int mask = 0; mask < 8; ++mask) {
    matrix.ApplyMask(mask);
    matrix.DrawFormatBits(levelBits << 3 | mask);
    const long penalty = matrix.Penalty();
    if (bestPenalty < 0 || penalty < bestPenalty) {
      bestPenalty = penalty;
      bestMask = mask;
    }
    matrix.ApplyMask(mask);
  }
  matrix.ApplyMask(bestMask);
  matrix.DrawFormatBits(levelBits << 3 | bestMask);
  return QrCode(version, ecc, bestMask, std::move(matrix.Modules()));
}

std::string QrSvgOf(const QrCode& code) {
  const int size = code.Size();
  const int n = size + 6;
  std::string svg;
  svg.reserve(static_cast<size_t>(size * size) * 9 + 256);
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 ";
  AppendNumber(svg, n);
  svg += ' ';
  AppendNumber(svg, n);
  svg += "\" shape-rendering=\"crispEdges\"><rect width=\"";
  AppendNumber(svg, n);
  svg += "\" height=\"";
  AppendNumber(svg, n);
  svg += "\" fill=\"#fff\"/><path d=\"";
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      if (!code.GetModule(x, y)) continue;
      svg += 'M';
      AppendNumber(svg, x + 3);
      svg += ',';
      AppendNumber(svg, y + 3);
      svg += "h1v1h-1z";
    }
  }
  svg += "\" fill=\"#000\"/></svg>";
  return svg;
}

std::string QrSvg(std::string_view text) {
  if (text.empty()) return {};
  const std::optional<QrCode> code = QrCode::EncodeText(text);
  return code ? QrSvgOf(*code) : std::string();
}

}  // namespace kelm
