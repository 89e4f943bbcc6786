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

  // Everything logged so far; logging goes on into the same file.
  std::string Text() {
    CloseLogFile();
    std::string text = ReadFileBytes(path_);
    OpenLogFile(path_);
    return text;
  }

 private:
  std::wstring path_;
};

}  // namespace kelm::test
