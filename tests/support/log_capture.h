#pragma once
// Sends the process's log lines to a file for one test and reads them back.
#include <string>
#include <string_view>

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

// Lines of a log text at `level` ("INFO", "WARN", ...) that hold `what`.
inline size_t LogLines(const std::string& text, const std::string& level, const std::string& what) {
  size_t n = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    if (line.find(" " + level + " ") != std::string_view::npos && line.find(what) != std::string_view::npos) ++n;
    start = end + 1;
  }
  return n;
}

}  // namespace kelm::test
