#pragma once
// Durable-write file calls that do the real work and record each call, in order,
// with the file it concerns.
#include <string>
#include <vector>

#include "core/durable_file.h"

namespace kelm::test {

class RecordingFileCalls : public FileCalls {
 public:
  // "create NAME" (with " owner-only" when only the current user may open the
  // new file), "write", "flush", "close", "move FROM TO", "delete NAME".
  std::vector<std::wstring> calls;
  bool failFlush = false;

  HANDLE CreateTemporary(const std::wstring& path, SECURITY_ATTRIBUTES* security) override;
  bool Write(HANDLE file, std::string_view bytes) override;
  bool Flush(HANDLE file) override;
  void Close(HANDLE file) override;
  bool Move(const std::wstring& from, const std::wstring& to, bool replace) override;
  void Delete(const std::wstring& path) override;
};

}  // namespace kelm::test
