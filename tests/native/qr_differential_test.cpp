// Our QR encoder against the reference library (libqrcodegencpp, encodeText at MEDIUM):
// version, level, mask and every module, and the markup byte for byte, over random texts
// of every mode and length and over the capacity edge of every version.
#include <gtest/gtest.h>
#include <qrcodegen/qrcodegen.hpp>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/qr_code.h"
#include "app/qr_svg_form.h"

namespace kelm {
namespace {

using Reference = qrcodegen::QrCode;

constexpr std::string_view kAlphanumeric = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%*+-./:";

std::optional<Reference> ReferenceCode(const std::string& text) {
  try {
    return Reference::encodeText(text.c_str(), Reference::Ecc::MEDIUM);
  } catch (const qrcodegen::data_too_long&) {
    return std::nullopt;
  }
}

int LevelOf(Reference::Ecc ecc) {
  switch (ecc) {
    case Reference::Ecc::LOW: return 0;
    case Reference::Ecc::MEDIUM: return 1;
    case Reference::Ecc::QUARTILE: return 2;
    case Reference::Ecc::HIGH: return 3;
  }
  return -1;
}

// Compares one text in full; false (with the failure recorded) on the first difference.
bool SameAsReference(const std::string& text) {
  const std::optional<Reference> reference = ReferenceCode(text);
  const std::optional<QrCode> ours = QrCode::EncodeText(text);
  EXPECT_EQ(ours.has_value(), reference.has_value()) << text.size() << " bytes";
  if (ours.has_value() != reference.has_value()) return false;
  if (!reference) {
    EXPECT_EQ(QrSvg(text), "");
    return true;
  }
  EXPECT_EQ(ours->Version(), reference->getVersion()) << text;
  EXPECT_EQ(static_cast<int>(ours->Ecc()), LevelOf(reference->getErrorCorrectionLevel())) << text;
  EXPECT_EQ(ours->Mask(), reference->getMask()) << text;
  if (ours->Version() != reference->getVersion() || ours->Mask() != reference->getMask()) return false;
  const int size = reference->getSize();
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      if (ours->GetModule(x, y) != reference->getModule(x, y)) {
        ADD_FAILURE() << "module " << x << "," << y << " differs for " << text;
        return false;
      }
    }
  }
  const std::string expected = test::BuildQrSvg(size, [&](int x, int y) { return reference->getModule(x, y); });
  const std::string svg = QrSvg(text);
  EXPECT_EQ(svg, expected) << text;
  return svg == expected;
}

enum class Kind { Digits, Alphanumeric, Ascii, Utf8 };

// A character of the kind as UTF-8; Utf8 mixes 1- to 4-byte characters (no NUL, which
// ends the reference library's C string, and no surrogates).
std::string RandomCharacter(Kind kind, std::mt19937& rng) {
  switch (kind) {
    case Kind::Digits: return std::string(1, static_cast<char>('0' + rng() % 10));
    case Kind::Alphanumeric: return std::string(1, kAlphanumeric[rng() % kAlphanumeric.size()]);
    case Kind::Ascii: return std::string(1, static_cast<char>(1 + rng() % 127));
    case Kind::Utf8: break;
  }
  const int bytes = 1 + static_cast<int>(rng() % 4);
  uint32_t cp;
  if (bytes == 1) {
    cp = 1 + rng() % 127;
  } else if (bytes == 2) {
    cp = 0x80 + rng() % (0x800 - 0x80);
  } else if (bytes == 3) {
    do cp = 0x800 + rng() % (0x10000 - 0x800);
    while (cp >= 0xD800 && cp < 0xE000);
  } else {
    cp = 0x10000 + rng() % (0x110000 - 0x10000);
  }
  std::string out;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Random texts: lengths spread over 1..2331 bytes (digits and letters further), most of
// them short as real texts are: one in 16 up to the limit, four up to 300 bytes, the rest
// up to 40. Four parts of 5000 texts each, run as separate tests so they run side by side.
constexpr int kParts = 4;
constexpr int kTextsPerPart = 5000;

class QrDifferentialRandomTest : public testing::TestWithParam<int> {};

TEST_P(QrDifferentialRandomTest, TextsOfEveryModeEqualTheReference) {
  std::mt19937 rng(20261211 + static_cast<unsigned>(GetParam()));
  int compared = 0;
  for (int i = 0; i < kTextsPerPart; ++i) {
    const Kind kind = static_cast<Kind>(i % 4);
    const size_t maxBytes = kind == Kind::Digits ? 5596 : kind == Kind::Alphanumeric ? 3391 : 2331;
    const int spread = (i / 4) % 16;
    const size_t cap = spread == 0 ? maxBytes : std::min<size_t>(maxBytes, spread <= 4 ? 300 : 40);
    const size_t target = 1 + rng() % cap;
    std::string text;
    while (text.size() < target) {
      std::string c = RandomCharacter(kind, rng);
      if (text.size() + c.size() > target) break;
      text += c;
    }
    if (text.empty()) text = "a";
    if (!SameAsReference(text)) {
      ADD_FAILURE() << "text " << i << " differs";
      return;
    }
    ++compared;
  }
  EXPECT_EQ(compared, kTextsPerPart);
}

INSTANTIATE_TEST_SUITE_P(Parts, QrDifferentialRandomTest, testing::Range(0, kParts));

// For each version and mode, the longest text the reference puts into that version at
// MEDIUM, and that text with one character more.
TEST(QrDifferentialTest, CapacityEdgeOfEveryVersionAndMode) {
  const std::string fill[] = {"7", "Q", "q"};
  for (const std::string& unit : fill) {
    size_t low = 1;
    for (int version = 1; version <= 40; ++version) {
      // The longest length whose reference code is at most this version.
      size_t lo = low, hi = 6000;
      while (lo + 1 < hi) {
        const size_t mid = (lo + hi) / 2;
        const auto reference = ReferenceCode(std::string(mid, unit[0]));
        if (reference && reference->getVersion() <= version) {
          lo = mid;
        } else {
          hi = mid;
        }
      }
      SCOPED_TRACE(unit + " version " + std::to_string(version) + " length " + std::to_string(lo));
      ASSERT_EQ(ReferenceCode(std::string(lo, unit[0]))->getVersion(), version);
      ASSERT_TRUE(SameAsReference(std::string(lo, unit[0])));
      ASSERT_TRUE(SameAsReference(std::string(lo + 1, unit[0])));
      low = lo;
    }
  }
}

TEST(QrDifferentialTest, BothRefuseTheSameLongTexts) {
  for (const std::string& text : {std::string(5597, '1'), std::string(3392, 'A'), std::string(2332, 'a')}) {
    EXPECT_FALSE(ReferenceCode(text).has_value());
    EXPECT_FALSE(QrCode::EncodeText(text).has_value());
    EXPECT_EQ(QrSvg(text), "");
  }
  for (const std::string& text : {std::string(5596, '1'), std::string(3391, 'A'), std::string(2331, 'a')}) {
    EXPECT_TRUE(SameAsReference(text));
    EXPECT_EQ(QrCode::EncodeText(text)->Version(), 40);
  }
}

}  // namespace
}  // namespace kelm
