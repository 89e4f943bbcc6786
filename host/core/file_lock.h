#pragma once
// Serialises the read-modify-write of one data file across every process of this
// user that works on it (two hosts sharing a profile), with a named mutex.
#include <cstdint>
#include <string>

#include "core/win_handle.h"

namespace kelm {

class FileLock {
 public:
  static constexpr uint32_t kWaitMs = 10000;

  // Waits up to `waitMs` for the lock of `filePath`; see held().
  explicit FileLock(const std::wstring& filePath, uint32_t waitMs = kWaitMs);
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // False when the mutex could not be made or another process kept it too long;
  // the caller then goes on alone, as it would without a second process.
  bool held() const { return held_; }

  // The mutex name for a file: the same in every process for the same path.
  static std::wstring MutexName(const std::wstring& filePath);

 private:
  WinHandle mutex_;
  bool held_ = false;
};

}  // namespace kelm
