// The QR encoder and its markup: fixed vectors, the markup's form, the capacity limits and
// the function patterns every symbol must carry (the native build also compares it with a
// reference library, module by module).
#include "app/qr_code.h"

#include <gtest/gtest.h>

#include <string>

#include "app/qr_svg_form.h"

namespace kelm {
namespace {

using test::ParseQrSvg;

constexpr char kPairingLink[] = "tavro://connect?host=192.168.1.23&port=27183&pin=012345&name=DESK%20M%C3%BCller";
constexpr char kDeskUri[] =
    "otpauth://totp/tavro%3ADESK-1?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ&issuer=tavro&algorithm=SHA1&digits=6&"
    "period=30";

TEST(QrCodeTest, LetterAIsVersionOneInTheExactForm) {
  const std::string svg = QrSvg("A");
  ASSERT_FALSE(svg.empty());
  const std::string head =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 27 27\" shape-rendering=\"crispEdges\"><rect "
      "width=\"27\" height=\"27\" fill=\"#fff\"/><path d=\"M3,3h1v1h-1z";
  EXPECT_EQ(svg.substr(0, head.size()), head);
  EXPECT_TRUE(svg.ends_with("h1v1h-1z\" fill=\"#000\"/></svg>"));
  EXPECT_EQ(svg.find("<?xml"), std::string::npos);
  EXPECT_EQ(svg.find_first_of("\r\n\t"), std::string::npos);
  EXPECT_EQ(svg.find("> "), std::string::npos);
  EXPECT_EQ(svg.find(" <"), std::string::npos);
  EXPECT_EQ(svg.find("  "), std::string::npos);
  EXPECT_TRUE(ParseQrSvg(svg).has_value());
}

TEST(QrCodeTest, EmptyAndTooLongTextsGiveNoMarkup) {
  EXPECT_EQ(QrSvg(""), "");
  EXPECT_EQ(QrSvg(std::string(2332, 'a')), "");
  EXPECT_FALSE(QrCode::EncodeText(std::string(2332, 'a')).has_value());
}

struct SizeCase {
  std::string text;
  int version;
};

TEST(QrCodeTest, VersionsAndViewBoxes) {
  const SizeCase cases[] = {
      {"A", 1},
      {kPairingLink, 5},
      {kDeskUri, 7},
      {std::string(2331, 'a'), 40},
      {std::string(5596, '7'), 40},
      {std::string(3391, 'Z'), 40},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    const auto code = QrCode::EncodeText(c.text);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(code->Version(), c.version);
    EXPECT_EQ(code->Size(), 4 * c.version + 17);
    const auto parsed = ParseQrSvg(QrSvg(c.text));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->n, 4 * c.version + 23);
  }
  EXPECT_EQ(QrSvg(kPairingLink).substr(0, 70).find("viewBox=\"0 0 43 43\""), 40u);
}

TEST(QrCodeTest, EachModeRefusesOneCharacterOverVersionFortyMedium) {
  EXPECT_FALSE(QrCode::EncodeText(std::string(5597, '7')).has_value());
  EXPECT_FALSE(QrCode::EncodeText(std::string(3392, 'Z')).has_value());
  EXPECT_FALSE(QrCode::EncodeText(std::string(2332, 'z')).has_value());
  EXPECT_EQ(QrSvg(std::string(5597, '7')), "");
  // Four-byte characters: 582 of them are 2328 bytes, one more is too many.
  std::string emoji;
  for (int i = 0; i < 582; ++i) emoji += "\xF0\x9F\x98\x80";
  EXPECT_EQ(QrCode::EncodeText(emoji)->Version(), 40);
  EXPECT_FALSE(QrCode::EncodeText(emoji + "\xF0\x9F\x98\x80").has_value());
}

// The path holds exactly the dark modules of the code, in order.
TEST(QrCodeTest, MarkupListsEveryDarkModule) {
  for (const std::string& text : {std::string("A"), std::string(kPairingLink), std::string(300, '\xC3')}) {
    const auto code = QrCode::EncodeText(text);
    ASSERT_TRUE(code.has_value());
    const auto parsed = ParseQrSvg(QrSvgOf(*code));
    ASSERT_TRUE(parsed.has_value());
    size_t next = 0;
    for (int y = 0; y < code->Size(); ++y) {
      for (int x = 0; x < code->Size(); ++x) {
        if (!code->GetModule(x, y)) continue;
        ASSERT_LT(next, parsed->dark.size());
        EXPECT_EQ(parsed->dark[next], std::make_pair(x, y));
        ++next;
      }
    }
    EXPECT_EQ(next, parsed->dark.size());
    EXPECT_FALSE(code->GetModule(-1, 0));
    EXPECT_FALSE(code->GetModule(0, code->Size()));
  }
}

// Finders, timing lines, the dark module and both copies of the format information
// (whose BCH check and level/mask bits must agree with the code), and from version 7
// both copies of the version information.
TEST(QrCodeTest, FunctionPatternsAndFormatBitsAgreeWithTheCode) {
  const std::string texts[] = {"A", "12345", kPairingLink, kDeskUri, std::string(700, 'x'), std::string(2331, 'q')};
  for (const std::string& text : texts) {
    const auto code = QrCode::EncodeText(text);
    ASSERT_TRUE(code.has_value());
    const int s = code->Size();
    SCOPED_TRACE(code->Version());
    auto finderAt = [&](int left, int top) {
      for (int dy = -1; dy <= 7; ++dy) {
        for (int dx = -1; dx <= 7; ++dx) {
          const int x = left + dx, y = top + dy;
          if (x < 0 || y < 0 || x >= s || y >= s) continue;
          const int ring = std::max(std::abs(dx - 3), std::abs(dy - 3));
          ASSERT_EQ(code->GetModule(x, y), ring != 2 && ring != 4) << x << "," << y;
        }
      }
    };
    finderAt(0, 0);
    finderAt(s - 7, 0);
    finderAt(0, s - 7);
    for (int i = 8; i < s - 8; ++i) {
      EXPECT_EQ(code->GetModule(i, 6), i % 2 == 0);
      EXPECT_EQ(code->GetModule(6, i), i % 2 == 0);
    }
    EXPECT_TRUE(code->GetModule(8, s - 8));

    int first = 0, second = 0;
    const std::pair<int, int> firstCopy[15] = {{8, 0}, {8, 1}, {8, 2}, {8, 3}, {8, 4}, {8, 5}, {8, 7}, {8, 8},
                                               {7, 8}, {5, 8}, {4, 8}, {3, 8}, {2, 8}, {1, 8}, {0, 8}};
    for (int i = 0; i < 15; ++i) {
      first |= code->GetModule(firstCopy[i].first, firstCopy[i].second) << i;
      second |= (i < 8 ? code->GetModule(s - 1 - i, 8) : code->GetModule(8, s - 15 + i)) << i;
    }
    EXPECT_EQ(first, second);
    const int format = first ^ 0x5412;
    // The 15-bit word is a multiple of the generator x^10+x^8+x^5+x^4+x^2+x+1.
    int rem = format;
    for (int bit = 14; bit >= 10; --bit) {
      if (rem & (1 << bit)) rem ^= 0x537 << (bit - 10);
    }
    EXPECT_EQ(rem, 0);
    EXPECT_EQ((format >> 10) & 7, code->Mask());
    const int levelBits[4] = {1, 0, 3, 2};
    EXPECT_EQ(format >> 13, levelBits[static_cast<int>(code->Ecc())]);

    if (code->Version() >= 7) {
      int a = 0, b = 0;
      for (int i = 0; i < 18; ++i) {
        a |= code->GetModule(s - 11 + i % 3, i / 3) << i;
        b |= code->GetModule(i / 3, s - 11 + i % 3) << i;
      }
      EXPECT_EQ(a, b);
      EXPECT_EQ(a >> 12, code->Version());
      int vrem = a;
      for (int bit = 17; bit >= 12; --bit) {
        if (vrem & (1 << bit)) vrem ^= 0x1F25 << (bit - 12);
      }
      EXPECT_EQ(vrem, 0);
    }
  }
}

// The level is raised while the data still fits the version chosen at MEDIUM.
TEST(QrCodeTest, LevelIsRaisedWhenTheDataStillFits) {
  EXPECT_EQ(QrCode::EncodeText("A")->Ecc(), QrEcc::High);
  // Version 1 holds 14 bytes at MEDIUM, 11 at QUARTILE and 7 at HIGH.
  EXPECT_EQ(QrCode::EncodeText(std::string(14, 'a'))->Ecc(), QrEcc::Medium);
  EXPECT_EQ(QrCode::EncodeText(std::string(11, 'a'))->Ecc(), QrEcc::Quartile);
  EXPECT_EQ(QrCode::EncodeText(std::string(7, 'a'))->Ecc(), QrEcc::High);
  EXPECT_EQ(QrCode::EncodeText(std::string(15, 'a'))->Version(), 2);
}

}  // namespace
}  // namespace kelm
