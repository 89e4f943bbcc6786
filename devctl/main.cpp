// kelm-devctl: installs, removes and reports the virtual display driver.
#include <string_view>
#include <vector>

#include "devctl/driver_tool.h"
#include "devctl/system_setup_calls.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::wstring_view> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  kelm::devctl::SystemSetupCalls calls;
  kelm::devctl::StdOutput output;
  return kelm::devctl::DriverTool(calls, output).Run(args);
}
