#pragma once
// Process-wide log sink: one line per call, to the log file once one is open,
// otherwise to the console streams. Safe from any thread.
#include <cstdint>
#include <format>
#include <string>
#include <string_view>
#include <utility>

namespace kelm {

enum class LogLevel : int { Debug = 0, Info = 1, Warn = 2, Error = 3 };

void SetVerbose(bool verbose);
bool IsVerbose();

// Writes one line at `level`; control characters in `text` become '?'.
void Log(LogLevel level, std::string_view text);

// Opens (or re-opens) the log file; lines go there from now on. Refuses links and
// files with several names. False when no file is open afterwards.
bool OpenLogFile(const std::wstring& path);
// Closes the log file; later lines go to the console streams again.
void CloseLogFile();

// Exposed for tests: the bound above which the file is rotated to ".1".
inline constexpr uint64_t kLogRotateBytes = 0x200000;

template <typename... Args>
void LogDebug(std::format_string<Args...> fmt, Args&&... args) {
  if (!IsVerbose()) {
    return;
  }
  Log(LogLevel::Debug, std::format(fmt, std::forward<Args>(args)...));
}
template <typename... Args>
void LogInfo(std::format_string<Args...> fmt, Args&&... args) {
  Log(LogLevel::Info, std::format(fmt, std::forward<Args>(args)...));
}
template <typename... Args>
void LogWarn(std::format_string<Args...> fmt, Args&&... args) {
  Log(LogLevel::Warn, std::format(fmt, std::forward<Args>(args)...));
}
template <typename... Args>
void LogError(std::format_string<Args...> fmt, Args&&... args) {
  Log(LogLevel::Error, std::format(fmt, std::forward<Args>(args)...));
}

}  // namespace kelm
