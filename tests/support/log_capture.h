#pragma once
// Sends the process's log lines to a file for one test and reads them back.
#include <string>

#include "core/log.h"
#include "support/temp_dir.h"

namespace kelm::test {

class LogCapture {
 public:
  explicit LogCapture(std::wstring path) : path_(std::move(path)) { OpenLogFile(path_); }
  ~LogCapture() { CloseLogFile(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far. The file stays open (it is shared for reading), so a
  // line logged by another thread meanwhile still lands in it, never on the console.
  std::string Text() { return ReadFileBytes(path_); }

 private:
  std::wstring path_;
};

}  // namespace kelm::test
