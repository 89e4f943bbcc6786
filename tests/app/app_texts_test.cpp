// The tray application's texts and rules: fitting, menu rows, balloons, links, the
// instance hash and the hand-off block.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/app_texts.h"
#include "app/reference_fnv.h"

namespace kelm {
namespace {

std::wstring Repeat(wchar_t c, size_t n) { return std::wstring(n, c); }

TEST(FitTextTest, KeepsShortTextsAndCutsLongOnesWithAnEllipsis) {
  for (size_t n : {64u, 128u, 256u}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(FitText(Repeat(L'a', n - 1), n), Repeat(L'a', n - 1));
    EXPECT_EQ(FitText(Repeat(L'a', n), n), Repeat(L'a', n - 2) + L"\u2026");
    EXPECT_EQ(FitText(Repeat(L'a', n + 1), n), Repeat(L'a', n - 2) + L"\u2026");
    EXPECT_EQ(FitText(Repeat(L'a', n + 1), n).size(), n - 1);  // fits with its terminator
  }
}

TEST(FitTextTest, NeverSplitsASurrogatePair) {
  // A pair whose high half would be the last kept unit: the cut moves one unit earlier.
  std::wstring text = Repeat(L'a', 61) + L"\xD83D\xDE00" + Repeat(L'b', 10);
  EXPECT_EQ(FitText(text, 64), Repeat(L'a', 61) + L"\u2026");
  // A pair wholly before the cut stays.
  text = Repeat(L'a', 60) + L"\xD83D\xDE00" + Repeat(L'b', 10);
  EXPECT_EQ(FitText(text, 64), Repeat(L'a', 60) + L"\xD83D\xDE00" + L"\u2026");
}

TEST(TrayMenuTest, RowsIdsTextsAndStates) {
  const std::vector<TrayMenuItem> rows = TrayMenuRows(L"Connected to Tom & Jerry via USB", false, true);
  ASSERT_EQ(rows.size(), 8u);
  const uint32_t ids[] = {100, 101, 0, 0, 0, 102, 0, 103};
  for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].id, ids[i]) << i;
  EXPECT_EQ(rows[0].text, L"Open tavro");
  EXPECT_TRUE(rows[0].isDefault);
  EXPECT_EQ(rows[1].text, L"Send files to device\u2026");
  EXPECT_FALSE(rows[1].enabled);
  EXPECT_TRUE(TrayMenuRows(L"x", true, false)[1].enabled);
  EXPECT_EQ(rows[3].text, L"Connected to Tom && Jerry via USB");
  EXPECT_FALSE(rows[3].enabled);
  EXPECT_EQ(rows[5].text, L"Start with Windows");
  EXPECT_TRUE(rows[5].checked);
  EXPECT_FALSE(TrayMenuRows(L"x", true, false)[5].checked);
  EXPECT_EQ(rows[7].text, L"Quit");
  for (size_t i : {2u, 4u, 6u}) EXPECT_TRUE(rows[i].text.empty()) << i;
}

TEST(TrayMenuTest, StateLineIsFittedBeforeAmpersandsAreDoubled) {
  const std::wstring status = Repeat(L'&', 70);
  EXPECT_EQ(TrayMenuRows(status, false, false)[3].text, Repeat(L'&', 124) + L"\u2026");
}

TEST(BalloonTest, TransferRows) {
  struct Row {
    bool received, completed;
    const wchar_t* title;
    const wchar_t* text;
    bool target;
  } rows[] = {
      {true, true, L"Received from Pad", L"a.txt\nSaved in Downloads\\tavro. Click to show it.", true},
      {true, false, L"Receiving failed", L"a.txt from Pad wasn't received completely.", false},
      {false, true, L"Sent to Pad", L"a.txt", false},
      {false, false, L"Sending failed", L"a.txt couldn't be sent to Pad.", false},
  };
  for (const Row& r : rows) {
    const Balloon b = TransferBalloon(r.received, r.completed, L"Pad", L"a.txt", L"C:\\d\\a.txt");
    EXPECT_EQ(b.title, r.title);
    EXPECT_EQ(b.text, r.text);
    EXPECT_EQ(b.target, r.target ? L"C:\\d\\a.txt" : L"");
  }
  // One backslash, one line feed.
  const std::wstring text = TransferBalloon(true, true, L"Pad", L"a", L"p").text;
  EXPECT_EQ(std::count(text.begin(), text.end(), L'\\'), 1);
  EXPECT_EQ(std::count(text.begin(), text.end(), L'\n'), 1);
}

TEST(BalloonTest, SessionPendingHintAndUpdateTexts) {
  EXPECT_EQ(ConnectedBalloon(L"Pad", true).text, L"Pad connected via USB");
  EXPECT_EQ(ConnectedBalloon(L"Pad", false).text, L"Pad connected via Wi-Fi");
  EXPECT_EQ(ConnectedBalloon(L"Pad", false).title, L"Tablet connected");
  EXPECT_EQ(DisconnectedBalloon(L"Pad").title, L"Tablet disconnected");
  EXPECT_EQ(DisconnectedBalloon(L"Pad").text, L"Pad disconnected");
  EXPECT_EQ(PendingFilesBalloon(1).title, L"No device connected");
  EXPECT_EQ(PendingFilesBalloon(1).text, L"Connect your phone or tablet to send 1 file.");
  EXPECT_EQ(PendingFilesBalloon(2).text, L"Connect your phone or tablet to send 2 files.");
  EXPECT_EQ(TrayHintBalloon().title, L"tavro keeps running in the tray");
  EXPECT_EQ(TrayHintBalloon().text, L"Tablets can still connect. Right-click the tray icon to quit.");
  EXPECT_EQ(UpdatedBalloon().title, L"tavro was updated");
  EXPECT_EQ(UpdatedBalloon().text, L"Now running tavro 1.0.0.");
}

TEST(ExternalUrlTest, AllowsWebAndSettingsLinksOnly) {
  EXPECT_TRUE(IsAllowedExternalUrl(L"https://example.com/a?b=c#d"));
  EXPECT_TRUE(IsAllowedExternalUrl(L"http://x"));
  EXPECT_TRUE(IsAllowedExternalUrl(L"ms-settings:notifications"));
  EXPECT_TRUE(IsAllowedExternalUrl(L"https://" + Repeat(L'a', 2040)));  // 2048 characters
  const std::wstring refused[] = {
      L"HTTPS://x", L"file:///c:/x", L"javascript:x", L"https://x/\"", L"https://x y", L"https://x\ty",
      L"https://x/<", L"https://x/>", L"https://x\\y", L"https://x^", L"https://x`", L"https://x{", L"https://x|",
      L"https://x}", L"https://x\x7F", L"https://x\n", L"", L"https://" + Repeat(L'a', 2041),
  };
  for (const std::wstring& url : refused) EXPECT_FALSE(IsAllowedExternalUrl(url)) << url.size();
}

TEST(InstanceNameTest, MutexNameCarriesTheFnvHashOfTheFolder) {
  EXPECT_EQ(SingleInstanceMutexName(L""), L"Local\\tavro.SingleInstance.14695981039346656037");
  const std::pair<std::wstring, std::u16string> folders[] = {
      {L"C:\\Users\\me\\AppData\\Local\\tavro", u"C:\\Users\\me\\AppData\\Local\\tavro"},
      {L"Z:\\tmp\\p\u00e9", u"Z:\\tmp\\p\u00e9"},
      {L"\u4e2d\u6587", u"\u4e2d\u6587"},
  };
  for (const auto& [wide, utf16] : folders) {
    EXPECT_EQ(InstanceHash(wide), test::ReferenceFnv1a(utf16));
    EXPECT_EQ(SingleInstanceMutexName(wide), L"Local\\tavro.SingleInstance." + std::to_wstring(test::ReferenceFnv1a(utf16)));
  }
}

std::vector<uint16_t> Units(const std::wstring& text) { return std::vector<uint16_t>(text.begin(), text.end()); }

TEST(FileListTest, JoinsAndSplitsBlocks) {
  const std::wstring joined = JoinFileList({L"a", L"b"});
  EXPECT_EQ(joined, std::wstring(L"a\0b\0\0", 5));
  struct Row {
    std::wstring block;
    std::vector<std::wstring> files;
  } rows[] = {
      {std::wstring(L"a\0b\0\0", 5), {L"a", L"b"}},
      {std::wstring(L"a\0bc", 4), {L"a", L"bc"}},  // the last path without its NUL
      {std::wstring(L"\0a\0\0", 4), {}},           // empty first path
      {std::wstring(), {}},
      {std::wstring(L"C:\\x y\\\u00e9.txt\0\0", 14), {L"C:\\x y\\\u00e9.txt"}},
  };
  for (const Row& r : rows) {
    const std::vector<uint16_t> units = Units(r.block);
    EXPECT_EQ(SplitFileList(units.data(), units.size()), r.files);
  }
  EXPECT_TRUE(SplitFileList(nullptr, 4).empty());
}

}  // namespace
}  // namespace kelm
