// The log front end and the clock for the native sanitizer build: lines go to standard
// error, microseconds come from the steady clock.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

#include "core/clock.h"
#include "core/log.h"

namespace kelm {
namespace {

std::atomic<bool> g_verbose{false};
std::mutex g_mutex;

}  // namespace

void SetVerbose(bool verbose) { g_verbose = verbose; }
bool IsVerbose() { return g_verbose; }

void Log(LogLevel level, std::string_view text) {
  static constexpr const char* kLevels[] = {"DEBUG", "INFO ", "WARN ", "ERROR"};
  std::lock_guard lock(g_mutex);
  std::fprintf(stderr, "%s %.*s\n", kLevels[static_cast<int>(level) & 3], static_cast<int>(text.size()), text.data());
}

bool OpenLogFile(const std::wstring&) { return false; }
void CloseLogFile() {}

uint64_t NowMicros() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace kelm
