#include "core/usb_watcher.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <format>
#include <optional>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "fake_adb/fake_adb_dir.h"

namespace kelm {
namespace {

using test::FakeAdbDir;
using test::FileLines;
using test::TempDir;
using test::WaitUntil;

using Calls = std::vector<std::string>;

// Writes `text` in the fake's script form.
std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else if (c == '\\') out += "\\\\";
    else if (b < 32 || b >= 128) out += std::format("\\x{:02X}", b);
    else out += c;
  }
  return out;
}

// adb's listing as it prints it: a heading, CR LF line ends and a blank last line.
std::string Listing(int from, const char* to, const std::vector<std::string>& devices) {
  std::string text = "List of devices attached\r\n";
  for (const std::string& d : devices) {
    text += d + "\r\n";
  }
  text += "\r\n";
  return std::format("when {} {} devices\nout {}\n", from, to, Escape(text));
}

// From this pass on the listing hangs (until Stop), so the passes before it are all
// that a test sees.
std::string HangFrom(int from) { return std::format("when {} * devices\nhang\n", from); }

std::string ReverseArgs(const std::string& serial, uint16_t port = 27183) {
  return std::format("-s {} reverse tcp:{} tcp:{}", serial, port, port);
}

std::string Reverse(const std::string& serial, int from, const char* to,
                    const std::string& actions = "", uint16_t port = 27183) {
  return std::format("when {} {} {}\n{}", from, to, ReverseArgs(serial, port), actions);
}

class UsbWatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(OpenLogFile(logPath)); }
  void TearDown() override {
    watcher.Stop();
    CloseLogFile();
  }

  // Starts, lets `passes` polling passes finish (the next one hangs), and stops.
  void RunPasses(size_t passes, uint16_t port = 27183) {
    ASSERT_TRUE(watcher.Start(fake.Adb(), port));
    EXPECT_TRUE(watcher.Active());
    EXPECT_TRUE(WaitUntil([&] { return fake.CountCalls("devices") > passes; }))
        << "only " << fake.CountCalls("devices") << " listings";
    watcher.Stop();
    EXPECT_FALSE(watcher.Active());
  }

  // Lines of the log at `level` ("INFO " or "WARN ") whose text is exactly `text`.
  size_t Count(const std::string& level, const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : FileLines(logPath)) {
      n += line.ends_with(" " + level + " " + text) ? 1 : 0;
    }
    return n;
  }
  size_t CountLevel(const std::string& level) const {
    size_t n = 0;
    for (const std::string& line : FileLines(logPath)) {
      n += line.find(" " + level + " ") != std::string::npos ? 1 : 0;
    }
    return n;
  }

  TempDir logDir;
  std::wstring logPath = logDir.File(L"host.log");
  FakeAdbDir fake;
  UsbWatcher watcher{UsbWatcher::Timing{30, 3000}};
};

TEST_F(UsbWatcherTest, ListedDeviceIsReversedOnceWithTheHostPort) {
  fake.Script(Listing(1, "3", {"R58M12AB\tdevice", "old-one\toffline", "rec1\trecovery"}) +
              HangFrom(4) + Reverse("R58M12AB", 1, "*"));
  RunPasses(3);
  EXPECT_EQ(fake.Calls(), (Calls{"devices", ReverseArgs("R58M12AB"), "devices", "devices", "devices"}));
  EXPECT_EQ(Count("INFO ", "USB: using " + WideToUtf8(fake.Adb())), 1u);
  EXPECT_EQ(Count("INFO ", "USB: device R58M12AB connected (adb reverse tcp:27183)"), 1u);
  EXPECT_EQ(CountLevel("INFO "), 2u);
  EXPECT_EQ(CountLevel("WARN "), 0u);
}

TEST_F(UsbWatcherTest, DisconnectedDeviceIsReversedAgainWhenItReturns) {
  fake.Script(Listing(1, "1", {"A1\tdevice"}) + Listing(2, "2", {"A1\tdevice", "B2\tdevice"}) +
              Listing(3, "3", {"B2\tdevice"}) + Listing(4, "4", {"B2\tdevice", "A1\tdevice"}) +
              HangFrom(5) + Reverse("A1", 1, "*", "", 40001) + Reverse("B2", 1, "*", "", 40001));
  RunPasses(4, 40001);
  EXPECT_EQ(fake.Calls(),
            (Calls{"devices", ReverseArgs("A1", 40001), "devices", ReverseArgs("B2", 40001), "devices",
                   "devices", ReverseArgs("A1", 40001), "devices"}));
  EXPECT_EQ(Count("INFO ", "USB: device A1 connected (adb reverse tcp:40001)"), 2u);
  EXPECT_EQ(Count("INFO ", "USB: device B2 connected (adb reverse tcp:40001)"), 1u);
  EXPECT_EQ(Count("INFO ", "USB: device A1 disconnected"), 1u);
  EXPECT_EQ(Count("INFO ", "USB: device B2 disconnected"), 0u);
}

TEST_F(UsbWatcherTest, WarningsAreGivenOncePerDeviceAndSerial) {
  const std::string long129(129, 'q');
  const std::string long128(128, 'k');
  const std::vector<std::string> unusual = {"with blank\tdevice", long129 + "\tdevice",
                                            "\tdevice", "caf\xC3\xA9\tdevice"};
  std::vector<std::string> first = unusual;
  first.insert(first.begin(), "X1\tunauthorized");
  first.push_back(long128 + "\tdevice");
  std::vector<std::string> later = unusual;
  later.insert(later.begin(), "X1\tdevice");
  fake.Script(Listing(1, "2", first) + Listing(3, "3", later) +
              Listing(4, "4", {"X1\tunauthorized"}) + HangFrom(5) + Reverse("X1", 1, "*") +
              Reverse(long128, 1, "*"));
  RunPasses(4);
  EXPECT_EQ(fake.Calls(), (Calls{"devices", ReverseArgs(long128), "devices", "devices",
                                 ReverseArgs("X1"), "devices", "devices"}));
  EXPECT_EQ(Count("WARN ",
                  "USB: device X1 is unauthorized - accept the USB debugging prompt on the tablet"),
            1u);
  EXPECT_EQ(Count("WARN ", "USB: ignoring a device with an unusual serial"), unusual.size());
  EXPECT_EQ(CountLevel("WARN "), 1 + unusual.size());
  EXPECT_EQ(Count("INFO ", "USB: device X1 connected (adb reverse tcp:27183)"), 1u);
  EXPECT_EQ(Count("INFO ", "USB: device X1 disconnected"), 1u);
  EXPECT_EQ(Count("INFO ", "USB: device " + long128 + " disconnected"), 1u);
}

TEST_F(UsbWatcherTest, FailingReverseIsRetriedOnEveryPassWithAdbsText) {
  fake.Script(Listing(1, "4", {"F1\tdevice"}) + HangFrom(5) +
              Reverse("F1", 1, "2", "out adb: \nerr error: device offline\\r\\n\nexit 1\n") +
              Reverse("F1", 3, "*"));
  RunPasses(4);
  EXPECT_EQ(fake.Calls(), (Calls{"devices", ReverseArgs("F1"), "devices", ReverseArgs("F1"),
                                 "devices", ReverseArgs("F1"), "devices", "devices"}));
  EXPECT_EQ(Count("WARN ", "USB: adb reverse failed for F1: adb: error: device offline??"), 2u);
  EXPECT_EQ(Count("INFO ", "USB: device F1 connected (adb reverse tcp:27183)"), 1u);
}

TEST_F(UsbWatcherTest, SerialsAndAdbTextAreLoggedSanitised) {
  // A line separator, NEL, a right-to-left override and an invalid byte, each of
  // which could forge or disguise a log line in a viewer.
  const std::string tricks = "\xE2\x80\xA8" "\xC2\x85" "\xE2\x80\xAE" "\xFF";
  fake.Script(Listing(1, "1", {"evil" + tricks + "x\tunauthorized", "G1\tdevice"}) + HangFrom(2) +
              Reverse("G1", 1, "*", "out refused" + Escape(tricks + "\x01") + "end\nexit 1\n"));
  RunPasses(1);
  EXPECT_EQ(Count("WARN ", "USB: device evil????x is unauthorized - accept the USB debugging prompt on the tablet"),
            1u);
  EXPECT_EQ(Count("WARN ", "USB: adb reverse failed for G1: refused?????end"), 1u);
  const std::string log = test::ReadFileBytes(logPath);
  for (const char* bad : {"\xE2\x80\xA8", "\xC2\x85", "\xE2\x80\xAE", "\xFF", "\x01"}) {
    EXPECT_EQ(log.find(bad), std::string::npos);
  }
  for (const std::string& line : FileLines(logPath)) {
    EXPECT_TRUE(line.size() > 24 && line[4] == '-' && line[13] == ':') << line;  // each entry on its own line
  }
}

TEST_F(UsbWatcherTest, FailedOrHangingListingChangesNothing) {
  UsbWatcher quick(UsbWatcher::Timing{30, 300});
  fake.Script(Listing(1, "1", {"A1\tdevice"}) + "when 2 2 devices\nerr daemon not running\nexit 1\n" +
              "when 3 3 devices\nhang\n" + Listing(4, "4", {"A1\tdevice"}) + HangFrom(5) +
              Reverse("A1", 1, "*"));
  ASSERT_TRUE(quick.Start(fake.Adb(), 27183));
  // The third listing hangs for a minute: the later ones show that the time-out ended it.
  ASSERT_TRUE(WaitUntil([&] { return fake.CountCalls("devices") >= 5; }));
  quick.Stop();
  EXPECT_EQ(fake.Calls(), (Calls{"devices", ReverseArgs("A1"), "devices", "devices", "devices", "devices"}));
  EXPECT_EQ(Count("INFO ", "USB: device A1 connected (adb reverse tcp:27183)"), 1u);
  EXPECT_EQ(Count("INFO ", "USB: device A1 disconnected"), 0u);
  EXPECT_EQ(CountLevel("WARN "), 0u);
}

TEST_F(UsbWatcherTest, StopCutsShortAHangingAdb) {
  UsbWatcher patient(UsbWatcher::Timing{30, 10000});
  fake.Script(HangFrom(1));
  ASSERT_TRUE(patient.Start(fake.Adb(), 27183));
  ASSERT_TRUE(WaitUntil([&] { return fake.Pids().size() == 1; }));
  WinHandle adb = test::OpenProcessById(fake.Pids().front());
  const ULONGLONG before = GetTickCount64();
  patient.Stop();
  EXPECT_LT(GetTickCount64() - before, 3000u);
  EXPECT_FALSE(patient.Active());
  EXPECT_EQ(test::ExitCodeAfter(adb, 0), 1);
  EXPECT_EQ(CountLevel("WARN "), 0u);
}

// adb's devices command may leave its server running with the output pipe inherited;
// neither the pass nor Stop may wait for that server.
TEST_F(UsbWatcherTest, BackgroundServerHoldingThePipeDoesNotHoldStop) {
  UsbWatcher patient(UsbWatcher::Timing{30, 10000});
  fake.Script("when 1 1 devices\nout * daemon started successfully\\r\\n\nserver 20000\nout " +
              Escape("List of devices attached\r\nS1\tdevice\r\n\r\n") + "\n" +
              "when 2 2 devices\nserver 20000\nout " +
              Escape("List of devices attached\r\nS1\tdevice\r\n\r\n") + "\n" + HangFrom(3) +
              Reverse("S1", 1, "*", "server 20000\n"));
  const ULONGLONG before = GetTickCount64();
  ASSERT_TRUE(patient.Start(fake.Adb(), 27183));
  ASSERT_TRUE(WaitUntil([&] { return fake.CountCalls("devices") >= 3; }, 5000));
  patient.Stop();
  EXPECT_LT(GetTickCount64() - before, 5000u);
  EXPECT_EQ(fake.Calls(), (Calls{"devices", ReverseArgs("S1"), "devices", "devices"}));
  EXPECT_EQ(fake.ServerPids().size(), 3u);
  EXPECT_EQ(Count("INFO ", "USB: device S1 connected (adb reverse tcp:27183)"), 1u);
}

TEST_F(UsbWatcherTest, RestartForgetsWhatItKnew) {
  fake.Script(Listing(1, "1", {"A1\tdevice", "U1\tunauthorized"}) + "when 2 2 devices\nhang\n" +
              Listing(3, "3", {"A1\tdevice", "U1\tunauthorized"}) + HangFrom(4) +
              Reverse("A1", 1, "*"));
  RunPasses(1);
  RunPasses(3);
  EXPECT_EQ(fake.Calls(), (Calls{"devices", ReverseArgs("A1"), "devices", "devices",
                                 ReverseArgs("A1"), "devices"}));
  EXPECT_EQ(Count("INFO ", "USB: device A1 connected (adb reverse tcp:27183)"), 2u);
  EXPECT_EQ(Count("WARN ",
                  "USB: device U1 is unauthorized - accept the USB debugging prompt on the tablet"),
            2u);
}

TEST_F(UsbWatcherTest, MissingAdbProgramRunsSilently) {
  ASSERT_TRUE(watcher.Start(logDir.File(L"no-such-adb.exe"), 27183));
  EXPECT_TRUE(watcher.Active());
  Sleep(300);  // several passes
  watcher.Stop();
  EXPECT_EQ(CountLevel("WARN "), 0u);
  EXPECT_EQ(Count("INFO ", "USB: using " + WideToUtf8(logDir.File(L"no-such-adb.exe"))), 1u);
  EXPECT_EQ(CountLevel("INFO "), 1u);
}

TEST_F(UsbWatcherTest, EmptyPathIsSearchedForAndNothingStartsWithoutAdb) {
  const wchar_t* names[] = {L"ADB", L"ANDROID_HOME", L"ANDROID_SDK_ROOT", L"LOCALAPPDATA"};
  std::vector<std::optional<std::wstring>> saved;
  for (const wchar_t* name : names) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    saved.push_back(n > 0 && n < 1024 ? std::optional<std::wstring>(std::wstring(buffer, n))
                                      : std::nullopt);
    SetEnvironmentVariableW(name, nullptr);
  }
  UsbWatcher never;
  never.Stop();  // safe without a start
  EXPECT_FALSE(never.Active());
  // The test program's folder holds no adb.exe, and nothing else names one.
  EXPECT_FALSE(never.Start(L"", 27183));
  EXPECT_FALSE(never.Active());
  EXPECT_EQ(never.AdbPath(), L"");

  fake.Script(HangFrom(1));
  SetEnvironmentVariableW(L"ADB", fake.Adb().c_str());
  EXPECT_TRUE(never.Start(L"", 27183));
  EXPECT_TRUE(never.Active());
  EXPECT_EQ(never.AdbPath(), fake.Adb());
  EXPECT_TRUE(WaitUntil([&] { return fake.CountCalls("devices") == 1; }));
  never.Stop();
  EXPECT_FALSE(never.Active());
  EXPECT_EQ(Count("INFO ", "USB: using " + WideToUtf8(fake.Adb())), 1u);
  for (size_t i = 0; i < saved.size(); ++i) {
    SetEnvironmentVariableW(names[i], saved[i] ? saved[i]->c_str() : nullptr);
  }
}

}  // namespace
}  // namespace kelm
