// Safe names for received files, free names in a folder, and the percentage text.
#include "desktop/transfer_names.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

namespace kelm {
namespace {

// UTF-16 length of a UTF-8 text, the unit the name limit counts in.
size_t Utf16Length(const std::string& utf8) {
  size_t n = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    if ((b & 0xC0) != 0x80) n += b >= 0xF0 ? 2 : 1;
  }
  return n;
}

TEST(SafeFileNameTest, Table) {
  struct Case {
    std::string in, out;
  };
  const std::vector<Case> cases = {
      {"../../x.txt", "x.txt"},
      {"a\\b/c<d>.txt", "c_d_.txt"},
      {"C:evil", "C_evil"},
      {"con.txt", "_con.txt"},
      {"CON .txt", "_CON .txt"},
      {"nul .x", "_nul .x"},
      {"lpt3.txt", "_lpt3.txt"},
      {"COM5.log.txt", "_COM5.log.txt"},
      {"com0", "_com0"},
      {"LPT9.", "_LPT9"},
      {"COM\xC2\xB9.log", "_COM\xC2\xB9.log"},
      {"lpt\xC2\xB3", "_lpt\xC2\xB3"},
      {"conout$", "_conout$"},
      {"CONIN$.txt", "_CONIN$.txt"},
      {"clock$", "_clock$"},
      {"Aux", "_Aux"},
      {"prn.tar.gz", "_prn.tar.gz"},
      {"console.txt", "console.txt"},
      {"com10.txt", "com10.txt"},
      {"nul x.txt", "nul x.txt"},
      {"...", "file"},
      {" . . ", "file"},
      {"", "file"},
      {"dir/", "file"},
      {"a\x01" "b\x1F" "c\x7F.txt", "a_b_c\x7F.txt"},
      {std::string("a\0b", 3), "a_b"},
      {"x\"y|z?w*.txt", "x_y_z_w_.txt"},
      {"  name.txt. . ", "name.txt"},
      {".hidden", ".hidden"},
      {"caf\xC3\xA9.png", "caf\xC3\xA9.png"},
      {"bad\xFF.txt", "bad\xEF\xBF\xBD.txt"},
      // Bidi controls and invisible format characters would disguise a name.
      {"photo\xE2\x80\xAEgpj.exe", "photo_gpj.exe"},          // U+202E
      {"a\xE2\x81\xA6txt.exe\xE2\x81\xA9", "a_txt.exe_"},      // U+2066, U+2069
      {"aux\xE2\x80\x8B.txt", "aux_.txt"},                      // U+200B
      {"x\xE2\x80\x8E\xE2\x80\x8Fy", "x__y"},                  // U+200E, U+200F
      {"\xEF\xBB\xBFname.txt", "_name.txt"},                    // U+FEFF
      {"soft\xC2\xADhyphen", "soft_hyphen"},                    // U+00AD
      {"c1\xC2\x85.txt", "c1_.txt"},                             // U+0085
      {"tag\xF3\xA0\x80\x81.txt", "tag_.txt"},                 // U+E0001
      {"\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD", "____"},  // U+202A-202D
  };
  for (const Case& c : cases) EXPECT_EQ(SafeFileName(c.in), c.out) << c.in;
}

TEST(SafeFileNameTest, LongNameKeepsShortExtension) {
  const std::string name = SafeFileName(std::string(200, 'a') + ".jpeg");
  EXPECT_EQ(Utf16Length(name), 180u);
  EXPECT_EQ(name, std::string(175, 'a') + ".jpeg");
}

TEST(SafeFileNameTest, LongExtensionIsNotKept) {
  const std::string ext = "." + std::string(19, 'e');  // 20 characters with the dot
  const std::string name = SafeFileName(std::string(200, 'a') + ext);
  EXPECT_EQ(name, std::string(180, 'a'));
}

TEST(SafeFileNameTest, CutKeepsSurrogatePairsWhole) {
  // U+1F600 takes two UTF-16 units; placed so that the 180th unit is its first half.
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::string name = SafeFileName(std::string(179, 'a') + emoji + std::string(30, 'b'));
  EXPECT_EQ(name, std::string(179, 'a'));
  const std::string whole = SafeFileName(std::string(178, 'a') + emoji + std::string(30, 'b'));
  EXPECT_EQ(whole, std::string(178, 'a') + emoji);
  EXPECT_EQ(Utf16Length(whole), 180u);
}

TEST(SafeFileNameTest, TheDeviceNameMarkStaysWithinTheLimit) {
  EXPECT_EQ(SafeFileName("con." + std::string(300, 'a')), "_con." + std::string(175, 'a'));
  // The cut itself can leave a device name behind.
  EXPECT_EQ(SafeFileName("nul." + std::string(200, ' ') + "abc"), "_nul");
}

TEST(SafeFileNameTest, CutLeavesNoTrailingDotOrBlank) {
  const std::string name = SafeFileName(std::string(178, 'a') + ". " + std::string(40, 'b'));
  EXPECT_EQ(name, std::string(178, 'a'));
  const std::string dots = SafeFileName(std::string(100, 'a') + std::string(100, '.') + std::string(30, 'x'));
  EXPECT_EQ(dots, std::string(100, 'a'));
  const std::string only = SafeFileName(std::string(200, '.') + std::string(30, 'x'));
  EXPECT_EQ(only, "file");
}

TEST(SafeFileNameTest, ReservedStemIgnoresTrailingBlanks) {
  EXPECT_TRUE(IsReservedDeviceName(U"NUL   "));
  EXPECT_TRUE(IsReservedDeviceName(U"nul .x"));
  EXPECT_TRUE(IsReservedDeviceName(U"Com7.a.b"));
  EXPECT_FALSE(IsReservedDeviceName(U"NULL"));
  EXPECT_FALSE(IsReservedDeviceName(U".con"));
  EXPECT_FALSE(IsReservedDeviceName(U"COM\u2074"));  // superscript four names no port
}

std::u32string Decode(const std::string& utf8) {
  std::u32string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<uint8_t>(utf8[i]);
    const size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<uint8_t>(utf8[i + k]) & 0x3F);
    out.push_back(cp);
    i += n;
  }
  return out;
}

TEST(SafeFileNameTest, RandomNamesKeepEveryRule) {
  // Pieces that make names hostile: separators, reserved names, dots, blanks, control
  // characters, characters of two and four bytes and invalid bytes.
  const std::vector<std::string> pieces = {"/", "\\", ":", ".", " ", "..", "\x01", "\x7F", "con", "NUL", "Com",
                                           "lpt", "1", "9", "\xC2\xB9", "$", "conout", "clock", "a", "Z", "\xC3\xA9",
                                           "\xF0\x9F\x98\x80", "\xFF", "\xC0\x80", "*", "?", "<", "|", "\"",
                                           "\xE2\x80\xAE", "\xE2\x81\xA6", "\xE2\x80\x8B", "\xEF\xBB\xBF"};
  std::mt19937 random(1234);
  for (int round = 0; round < 20000; ++round) {
    std::string in;
    const int count = static_cast<int>(random() % 120);
    for (int i = 0; i < count; ++i) in += pieces[random() % pieces.size()];
    const std::string out = SafeFileName(in);
    const std::u32string name = Decode(out);
    ASSERT_FALSE(name.empty()) << in;
    for (const char32_t cp : name) {
      ASSERT_TRUE(cp >= 32 && std::u32string_view(U"<>:\"/\\|?*").find(cp) == std::u32string_view::npos) << in;
      ASSERT_TRUE(cp != 0x202E && cp != 0x2066 && cp != 0x200B && cp != 0xFEFF) << in;
    }
    ASSERT_NE(name.back(), U'.') << in;
    ASSERT_NE(name.back(), U' ') << in;
    ASSERT_NE(name.front(), U' ') << in;
    ASSERT_LE(Utf16Length(out), 180u) << in;
    ASSERT_FALSE(IsReservedDeviceName(name)) << in;
    ASSERT_EQ(SafeFileName(out), out) << in;  // a safe name stays as it is
  }
}

TEST(UniqueNameTest, NumbersWhileNameOrPartExists) {
  std::set<std::wstring> taken;
  auto exists = [&](const std::wstring& p) { return taken.contains(p); };
  EXPECT_EQ(UniqueNameIn(L"D", L"report.pdf", exists, 7), L"D\\report.pdf");
  taken.insert(L"D\\report.pdf");
  EXPECT_EQ(UniqueNameIn(L"D", L"report.pdf", exists, 7), L"D\\report (1).pdf");
  taken.insert(L"D\\report (1).pdf.part");
  EXPECT_EQ(UniqueNameIn(L"D", L"report.pdf", exists, 7), L"D\\report (2).pdf");
  taken.insert(L"D\\.profile");
  EXPECT_EQ(UniqueNameIn(L"D", L".profile", exists, 7), L"D\\.profile (1)");
  taken.insert(L"D\\a.b.c");
  EXPECT_EQ(UniqueNameIn(L"D", L"a.b.c", exists, 7), L"D\\a.b (1).c");
}

TEST(UniqueNameTest, FallsBackToTickWhenAllNumbersTaken) {
  int asked = 0;
  auto everything = [&](const std::wstring&) {
    ++asked;
    return true;
  };
  EXPECT_EQ(UniqueNameIn(L"D", L"x.txt", everything, 123456), L"D\\x (123456).txt");
  EXPECT_EQ(asked, 10000);  // the plain name and 9999 numbered ones, .part never asked
}

TEST(PercentTextTest, Table) {
  struct Case {
    uint64_t done, total;
    std::string text;
  };
  const std::vector<Case> cases = {
      {0, 0, "100 %"},       {0, 10, "0 %"},   {5, 10, "50 %"}, {999, 1000, "99 %"},
      {10, 10, "100 %"},     {20, 10, "100 %"}, {~0ull, ~0ull, "100 %"},
      {~0ull / 2, ~0ull, "49 %"}, {~0ull, 3, "100 %"},
  };
  for (const Case& c : cases) EXPECT_EQ(PercentText(c.done, c.total), c.text) << c.done << "/" << c.total;
}

}  // namespace
}  // namespace kelm
