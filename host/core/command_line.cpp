#include "core/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cwctype>
#include <format>
#include <limits>

#include "core/text.h"

namespace kelm {

int32_t ParseDecimal(std::wstring_view text) {
  size_t i = 0;
  while (i < text.size() && std::iswspace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    value = value * 10 + (text[i] - L'0');
    if (value > kLimit) {
      value = kLimit;  // saturate; the clamp below keeps the sign's bound
    }
  }
  if (negative) {
    value = -value;
  }
  if (value > std::numeric_limits<int32_t>::max()) {
    value = std::numeric_limits<int32_t>::max();
  }
  if (value < std::numeric_limits<int32_t>::min()) {
    value = std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(value);
}

namespace {

constexpr size_t kPinDigits = 6;

// A PIN is typed on the device's keypad: exactly six decimal digits, leading zeros
// included. 000000 is refused too, since PIN 0 means "no PIN" to the pairing policy
// and would leave a host nobody can pair with. Empty text on success.
std::string CheckPin(bool given, std::wstring_view text, uint32_t& pin) {
  const std::string expects = "--pin expects exactly six digits (for example --pin 012345)";
  if (!given) {
    return expects + ", but no value followed it";
  }
  uint32_t value = 0;
  bool digits = text.size() == kPinDigits;
  for (wchar_t c : text) {
    digits = digits && c >= L'0' && c <= L'9';
    value = digits ? value * 10 + static_cast<uint32_t>(c - L'0') : 0;
  }
  if (!digits) {
    return expects + ", not \"" + WideToUtf8(text) + "\"";
  }
  if (value == 0) {
    return "--pin 000000 cannot be used: it would turn PIN pairing off; choose another six-digit PIN";
  }
  pin = value;
  return {};
}

}  // namespace

CommandLine ParseArguments(std::span<const std::wstring> args) {
  CommandLine cl;
  CliOverrides& o = cl.overrides;
  size_t i = 0;
  // An option with a value takes the next argument, whatever it looks like.
  auto value = [&]() -> std::wstring {
    if (i + 1 < args.size()) {
      return args[++i];
    }
    ++i;
    return {};
  };
  auto number = [&]() { return static_cast<uint32_t>(ParseDecimal(value())); };

  for (; i < args.size(); ++i) {
    const std::wstring& a = args[i];
    if (a == L"--port") {
      o.port = static_cast<uint16_t>(number());
    } else if (a == L"--pin") {
      const bool given = i + 1 < args.size();
      uint32_t pin = 0;
      cl.error = CheckPin(given, value(), pin);
      if (!cl.error.empty()) {
        break;
      }
      o.pin = pin;
    } else if (a == L"--usb-only") {
      o.usbOnly = true;
    } else if (a == L"--no-adb") {
      o.noAdb = true;
    } else if (a == L"--adb") {
      o.adbPath = value();
    } else if (a == L"--no-discovery") {
      o.noDiscovery = true;
    } else if (a == L"--no-driver") {
      o.noDriver = true;
    } else if (a == L"--connect-server") {
      o.connectServer = WideToUtf8(value());
    } else if (a == L"--update-url") {
      o.updateUrl = WideToUtf8(value());
    } else if (a == L"--update-key") {
      o.updateKey = WideToUtf8(value());
    } else if (a == L"--bitrate") {
      o.bitrateKbps = number();
    } else if (a == L"--console") {
      cl.console = true;
    } else if (a == L"--minimized") {
      cl.minimized = true;
    } else if (a == L"--send") {
      cl.minimized = true;
      cl.sendFiles.assign(args.begin() + static_cast<ptrdiff_t>(i) + 1, args.end());
      break;
    } else if (a == L"--list-displays") {
      cl.listDisplays = true;
    } else if (a == L"--remove-monitors") {
      cl.removeMonitors = true;
    } else if (a == L"--verbose") {
      cl.verbose = true;
    } else if (a == L"--profile") {
      cl.profileDir = value();
    } else if (a == L"--caret-test") {
      cl.caretTest = true;
    } else if (a == L"--audio-test") {
      cl.audioTest = true;
    } else if (a == L"--help" || a == L"-h" || a == L"/?") {
      cl.help = true;
    } else {
      cl.error = "Unknown option: " + WideToUtf8(a);
      break;
    }
  }

  if (o.port && *o.port == 0) {
    o.port.reset();
  }
  if (o.bitrateKbps && *o.bitrateKbps < 1000) {
    o.bitrateKbps.reset();
  }
  if ((!o.updateUrl.empty() || !o.updateKey.empty()) && cl.profileDir.empty() && cl.error.empty()) {
    cl.error = "--update-url and --update-key are for tests and need --profile";
  }
  return cl;
}

CommandLine ParseCommandLine() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) {
    return {};
  }
  std::vector<std::wstring> args;
  for (int k = 1; k < argc; ++k) {
    args.emplace_back(argv[k]);
  }
  LocalFree(argv);
  return ParseArguments(args);
}

const std::string& UsageText() {
  static const std::string text = std::format(
      "tavro host\n"
      "\n"
      "Usage: tavro.exe [options]\n"
      "\n"
      "Without --console the app starts in the system tray with a window (settings are saved in\n"
      "%APPDATA%\\tavro\\settings.json; the options below override them for this run).\n"
      "\n"
      "  --console           run in a console window instead of the tray (logs to stdout)\n"
      "  --minimized         start hidden in the tray\n"
      "  --send FILE...      send files to the connected device (used by Explorer's Send to menu)\n"
      "  --port N            TCP port (default {})\n"
      "  --pin NNNNNN        PIN for pairing new devices (default: random)\n"
      "  --usb-only          only accept USB (adb reverse) connections, no Wi-Fi\n"
      "  --no-adb            don't run adb reverse for USB devices\n"
      "  --adb PATH          path to adb.exe (default: auto-detect)\n"
      "  --no-discovery      don't answer Wi-Fi discovery broadcasts\n"
      "  --no-driver         don't use the virtual display driver (mirror mode only)\n"
      "  --bitrate KBPS      default bitrate if the client doesn't ask for one (default 20000)\n"
      "  --connect-server URL  allow paired phones to connect from anywhere through this tavro Connect server\n"
      "  --verbose           debug logging\n"
      "  --profile DIR       keep settings, paired devices and logs in DIR (tests)\n"
      "  --update-url URL    tests (with --profile): check this download site for updates\n"
      "  --update-key KEY    tests (with --profile): the update key it signs with (base64url point)\n"
      "\n"
      "Console diagnostics:\n"
      "  --list-displays     list displays (for mirror mode) and exit\n"
      "  --remove-monitors   remove all tavro virtual monitors and exit\n"
      "  --caret-test        look for a blinking text caret on the primary display\n"
      "  --audio-test        capture PC audio for 3 s (speakers silenced in the middle) and print the level\n",
      kDefaultPort);
  return text;
}

}  // namespace kelm
