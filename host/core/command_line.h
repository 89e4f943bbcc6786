#pragma once
// The host program's command line: parser and usage text.
#include <span>
#include <string>
#include <vector>

#include "core/cli_overrides.h"

namespace kelm {

inline constexpr unsigned kDefaultPort = 27183;

struct CommandLine {
  CliOverrides overrides;
  bool console = false;
  bool minimized = false;
  bool verbose = false;
  bool help = false;
  std::vector<std::wstring> sendFiles;
  std::wstring profileDir;
  bool listDisplays = false;
  bool removeMonitors = false;
  bool caretTest = false;
  bool audioTest = false;
  std::string error;  // not empty: the command line is invalid
};

// Parses the arguments after the program name.
CommandLine ParseArguments(std::span<const std::wstring> args);
// Parses the process command line (GetCommandLineW).
CommandLine ParseCommandLine();

// Reads a decimal as a signed 32-bit number: leading blanks and a sign, digits up
// to the first other character, 0 without digits, clamped to the 32-bit range.
int32_t ParseDecimal(std::wstring_view text);

const std::string& UsageText();

}  // namespace kelm
