#pragma once
// The driver tool's output captured in memory, kept apart per stream.
#include <string>

#include "devctl/output.h"

namespace kelm::devctl::test {

class CapturedOutput final : public Output {
 public:
  void Out(std::wstring_view text) override { out.append(text); }
  void Err(std::wstring_view text) override { err.append(text); }
  std::wstring out;
  std::wstring err;
};

}  // namespace kelm::devctl::test
