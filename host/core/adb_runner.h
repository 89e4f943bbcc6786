#pragma once
// Runs adb once and collects what it printed on standard output and standard error.
#include <cstdint>
#include <string>
#include <string_view>

namespace kelm {

// Starts "\"adbPath\" arguments" and returns its exit code (0 means success), or -1 when
// it could not be started, ran longer than `timeoutMs` from its start, or `cancelEvent`
// (an event handle, may be null) was signalled; in the last two cases adb is terminated
// with exit code 1. `output` receives everything adb wrote.
//
// Only what adb itself wrote is waited for: adb may leave its background server running
// with a copy of the output pipe, so once adb has ended the pipe is emptied of what is
// waiting and not read until it closes.
int32_t RunAdb(const std::wstring& adbPath, std::wstring_view arguments, std::string& output,
               uint32_t timeoutMs, void* cancelEvent = nullptr);

}  // namespace kelm
