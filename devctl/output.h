#pragma once
// Where the driver tool writes: standard output and standard error, or a test's capture.
#include <string_view>

namespace kelm::devctl {

class Output {
 public:
  virtual ~Output() = default;
  virtual void Out(std::wstring_view text) = 0;
  virtual void Err(std::wstring_view text) = 0;
};

// The process's standard handles: a console gets the wide text as it stands, a file or
// pipe gets it as UTF-8, with the line ends exactly as written.
class StdOutput final : public Output {
 public:
  void Out(std::wstring_view text) override;
  void Err(std::wstring_view text) override;
};

}  // namespace kelm::devctl
