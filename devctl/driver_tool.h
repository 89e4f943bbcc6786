#pragma once
// kelm-devctl's commands: install or update the virtual display driver on its root
// device, remove every such device with its driver packages, and report their state.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "devctl/output.h"
#include "devctl/setup_calls.h"

namespace kelm::devctl {

// The driver's root-enumerated hardware id.
inline constexpr std::wstring_view kHardwareId = L"Root\\tavroIdd";

// Exit codes of the program.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // install failed, or status found no device
inline constexpr int kExitUsage = 2;

inline constexpr std::wstring_view kUsage =
    L"Usage:\n  kelm-devctl install <tavroIdd.inf>\n  kelm-devctl uninstall\n  kelm-devctl status\n";

// The system's message for an error code, as FormatMessageW gives it (its own line end
// included); empty when the system has none.
std::wstring SystemMessage(uint32_t code);

class DriverTool {
 public:
  DriverTool(SetupCalls& calls, Output& output) : calls_(calls), output_(output) {}

  // `args` are the program's arguments after its name; answers the exit code.
  int Run(std::span<const std::wstring_view> args);

  int InstallDriver(std::wstring_view infPath);
  int UninstallDriver();
  int ReportStatus();
  // Removes every matching device, collecting the .inf names their driver keys hold;
  // answers the number of matching devices and counts the ones actually removed.
  int RemoveDevices(std::vector<std::wstring>& infNames, int& removed);
  bool MatchesHardwareId(HDEVINFO list, SP_DEVINFO_DATA& device);
  void PrintError(std::string_view operation, uint32_t code);

 private:
  int CountMatchingDevices();
  bool CreateDeviceNode(const std::wstring& fullPath);
  // Calls `visit` for each matching device of the whole system, in enumeration order;
  // false when the enumeration could not start.
  template <typename Visit>
  bool ForEachMatchingDevice(Visit&& visit);

  SetupCalls& calls_;
  Output& output_;
};

}  // namespace kelm::devctl
