#pragma once
// Replacing a data file so that a crash or power loss leaves either the old or the
// complete new content, never an empty or half-written file: the new content goes
// to a temporary file beside it, which is flushed to the disk and then moved over it.
#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelm {

// The file-system calls of a durable write, replaceable so tests can see their order.
class FileCalls {
 public:
  virtual ~FileCalls() = default;
  // Creates or truncates the temporary file for writing, with `security` (null: the
  // folder's default); INVALID_HANDLE_VALUE on failure.
  virtual HANDLE CreateTemporary(const std::wstring& path, SECURITY_ATTRIBUTES* security);
  virtual bool Write(HANDLE file, std::string_view bytes);
  virtual bool Flush(HANDLE file);
  virtual void Close(HANDLE file);
  // Moves `from` over `to`; with `replace` false an existing `to` makes it fail.
  virtual bool Move(const std::wstring& from, const std::wstring& to, bool replace);
  virtual void Delete(const std::wstring& path);
};

// While one exists, durable writes in this process go through `calls` (tests only).
class ScopedFileCalls {
 public:
  explicit ScopedFileCalls(FileCalls& calls);
  ~ScopedFileCalls();
  ScopedFileCalls(const ScopedFileCalls&) = delete;
  ScopedFileCalls& operator=(const ScopedFileCalls&) = delete;

 private:
  FileCalls* previous_;
};

enum class DurableWrite {
  Written,
  TemporaryFailed,  // the temporary could not be created, written or flushed; removed again
  MoveFailed,       // the move over the old file failed; the old file is untouched
};

struct DurableWriteOptions {
  bool ownerOnly = false;       // only the current user may open the new file
  bool replaceExisting = true;  // false: an existing file is kept and the move fails
  std::wstring temporarySuffix = L".tmp";
};

// Writes `bytes` to `path` + the temporary suffix, flushes it, then moves it over
// `path`. `error` receives the Windows error of the failed step; a temporary that
// was not moved is deleted.
DurableWrite WriteFileDurably(const std::wstring& path, std::string_view bytes, uint32_t& error,
                              const DurableWriteOptions& options = {});

}  // namespace kelm
