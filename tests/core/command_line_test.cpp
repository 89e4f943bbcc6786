#include "core/command_line.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/text.h"

namespace kelm {
namespace {

CommandLine Parse(std::vector<std::wstring> args) { return ParseArguments(args); }

TEST(CommandLineTest, NoArgumentsLeaveEverythingEmpty) {
  const CommandLine cl = Parse({});
  EXPECT_FALSE(cl.console || cl.help || cl.minimized || cl.verbose);
  EXPECT_FALSE(cl.overrides.port || cl.overrides.pin || cl.overrides.bitrateKbps);
  EXPECT_TRUE(cl.error.empty());
}

TEST(CommandLineTest, EveryOption) {
  const CommandLine cl = Parse({L"--port", L"5000", L"--pin", L"012345", L"--usb-only", L"--no-adb",
                                L"--adb", L"C:\\tools\\adb.exe", L"--no-discovery", L"--no-driver",
                                L"--connect-server", L"wss://relay.example/\u00e9", L"--bitrate", L"8000",
                                L"--console", L"--minimized", L"--list-displays", L"--remove-monitors",
                                L"--verbose", L"--profile", L"D:\\p", L"--update-url", L"http://u",
                                L"--update-key", L"KEY", L"--caret-test", L"--audio-test", L"-h"});
  const CliOverrides& o = cl.overrides;
  EXPECT_EQ(o.port, 5000);
  EXPECT_EQ(o.pin, 12345u);
  EXPECT_TRUE(o.usbOnly && o.noAdb && o.noDiscovery && o.noDriver);
  EXPECT_EQ(o.adbPath, L"C:\\tools\\adb.exe");
  EXPECT_EQ(o.connectServer, "wss://relay.example/\xc3\xa9");
  EXPECT_EQ(o.bitrateKbps, 8000u);
  EXPECT_EQ(o.updateUrl, "http://u");
  EXPECT_EQ(o.updateKey, "KEY");
  EXPECT_TRUE(cl.console && cl.minimized && cl.listDisplays && cl.removeMonitors && cl.verbose);
  EXPECT_TRUE(cl.caretTest && cl.audioTest && cl.help);
  EXPECT_EQ(cl.profileDir, L"D:\\p");
  EXPECT_TRUE(cl.error.empty()) << cl.error;
}

TEST(CommandLineTest, HelpSpellings) {
  for (const wchar_t* a : {L"--help", L"-h", L"/?"}) {
    EXPECT_TRUE(Parse({a}).help) << a;
  }
}

struct NumberCase {
  std::vector<std::wstring> args;
  std::optional<uint16_t> port;
  std::optional<uint32_t> pin;
  std::optional<uint32_t> bitrate;
};

TEST(CommandLineTest, NumberRules) {
  const std::vector<NumberCase> cases = {
      {{L"--port", L"0"}, std::nullopt, std::nullopt, std::nullopt},
      {{L"--port", L"abc"}, std::nullopt, std::nullopt, std::nullopt},
      {{L"--port", L"70000"}, 4464, std::nullopt, std::nullopt},
      {{L"--port", L"  +81x"}, 81, std::nullopt, std::nullopt},
      {{L"--port", L"-1"}, 65535, std::nullopt, std::nullopt},
      {{L"--bitrate", L"999"}, std::nullopt, std::nullopt, std::nullopt},
      {{L"--bitrate", L"1000"}, std::nullopt, std::nullopt, 1000},
      {{L"--bitrate", L"-1"}, std::nullopt, std::nullopt, 4294967295u},
      {{L"--bitrate", L"99999999999"}, std::nullopt, std::nullopt, 2147483647u},
      {{L"--bitrate", L"-99999999999"}, std::nullopt, std::nullopt, 2147483648u},
      {{L"--pin", L"000123"}, std::nullopt, 123, std::nullopt},
      {{L"--pin", L"111111", L"--pin", L"999999"}, std::nullopt, 999999, std::nullopt},
      {{L"--port", L"1", L"--port", L"2"}, 2, std::nullopt, std::nullopt},
  };
  for (const NumberCase& c : cases) {
    const CommandLine cl = Parse(c.args);
    EXPECT_EQ(cl.overrides.port, c.port) << c.args[1];
    EXPECT_EQ(cl.overrides.pin, c.pin) << c.args[0];
    EXPECT_EQ(cl.overrides.bitrateKbps, c.bitrate) << c.args[1];
    EXPECT_TRUE(cl.error.empty());
  }
}

TEST(CommandLineTest, PinMustBeSixDigits) {
  const std::string expects = "--pin expects exactly six digits (for example --pin 012345)";
  struct Case {
    std::vector<std::wstring> args;
    std::optional<uint32_t> pin;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{L"--pin", L"012345"}, 12345, ""},
      {{L"--pin", L"999999"}, 999999, ""},
      {{L"--pin", L"000001"}, 1, ""},
      {{L"--pin"}, std::nullopt, expects + ", but no value followed it"},
      {{L"--console", L"--pin"}, std::nullopt, expects + ", but no value followed it"},
      {{L"--pin", L"1234567"}, std::nullopt, expects + ", not \"1234567\""},
      {{L"--pin", L"12345"}, std::nullopt, expects + ", not \"12345\""},
      {{L"--pin", L"abc"}, std::nullopt, expects + ", not \"abc\""},
      {{L"--pin", L""}, std::nullopt, expects + ", not \"\""},
      {{L"--pin", L"12345x"}, std::nullopt, expects + ", not \"12345x\""},
      {{L"--pin", L" 12345"}, std::nullopt, expects + ", not \" 12345\""},
      {{L"--pin", L"+12345"}, std::nullopt, expects + ", not \"+12345\""},
      {{L"--pin", L"-12345"}, std::nullopt, expects + ", not \"-12345\""},
      {{L"--pin", L"\uff11\uff12\uff13\uff14\uff15\uff16"}, std::nullopt,
       expects + ", not \"\xef\xbc\x91\xef\xbc\x92\xef\xbc\x93\xef\xbc\x94\xef\xbc\x95\xef\xbc\x96\""},
      {{L"--pin", L"--console"}, std::nullopt, expects + ", not \"--console\""},
      {{L"--pin", L"000000"}, std::nullopt,
       "--pin 000000 cannot be used: it would turn PIN pairing off; choose another six-digit PIN"},
  };
  for (const Case& c : cases) {
    const CommandLine cl = Parse(c.args);
    const std::string label = c.args.size() > 1 ? WideToUtf8(c.args.back()) : "(no value)";
    EXPECT_EQ(cl.overrides.pin, c.pin) << label;
    EXPECT_EQ(cl.error, c.error) << label;
  }
  // The parse stops at a bad PIN, like at an unknown option.
  EXPECT_FALSE(Parse({L"--pin", L"1", L"--verbose"}).verbose);
}

TEST(CommandLineTest, DecimalReading) {
  EXPECT_EQ(ParseDecimal(L""), 0);
  EXPECT_EQ(ParseDecimal(L" \t-42z"), -42);
  EXPECT_EQ(ParseDecimal(L"2147483648"), 2147483647);
  EXPECT_EQ(ParseDecimal(L"-2147483648"), -2147483647 - 1);
  EXPECT_EQ(ParseDecimal(L"+"), 0);
}

TEST(CommandLineTest, ValueIsTakenWhateverItLooksLike) {
  const CommandLine cl = Parse({L"--adb", L"--console"});
  EXPECT_EQ(cl.overrides.adbPath, L"--console");
  EXPECT_FALSE(cl.console);
}

TEST(CommandLineTest, SendTakesEveryRemainingArgument) {
  const CommandLine cl = Parse({L"--port", L"9", L"--send", L"a.txt", L"--verbose"});
  ASSERT_EQ(cl.sendFiles.size(), 2u);
  EXPECT_EQ(cl.sendFiles[0], L"a.txt");
  EXPECT_EQ(cl.sendFiles[1], L"--verbose");
  EXPECT_FALSE(cl.verbose);
  EXPECT_TRUE(cl.minimized);
  EXPECT_EQ(cl.overrides.port, 9);
  const CommandLine empty = Parse({L"--send"});
  EXPECT_TRUE(empty.minimized);
  EXPECT_TRUE(empty.sendFiles.empty());
}

TEST(CommandLineTest, UnknownOptionStopsTheParse) {
  const CommandLine cl = Parse({L"--help", L"--Console", L"--verbose"});
  EXPECT_EQ(cl.error, "Unknown option: --Console");
  EXPECT_TRUE(cl.help);
  EXPECT_FALSE(cl.verbose);
  EXPECT_EQ(Parse({L"caf\u00e9"}).error, "Unknown option: caf\xc3\xa9");
}

TEST(CommandLineTest, UpdateOptionsNeedProfile) {
  const std::string need = "--update-url and --update-key are for tests and need --profile";
  EXPECT_EQ(Parse({L"--update-url", L"x"}).error, need);
  EXPECT_EQ(Parse({L"--update-key", L"k"}).error, need);
  EXPECT_TRUE(Parse({L"--update-url", L"x", L"--profile", L"p"}).error.empty());
  // An unknown option is reported rather than the update check.
  EXPECT_EQ(Parse({L"--update-url", L"x", L"--bad"}).error, "Unknown option: --bad");
}

}  // namespace
}  // namespace kelm
